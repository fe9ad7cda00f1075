// The one error contract of the exports. Every export's body runs inside Guarded: what
// it answers becomes the export's ResultCode here and nowhere else, and nothing it
// throws crosses into the caller, which may be C. An allocation that fails (or any
// other exception) answers CACHE_E_NO_MEMORY. The locks a body takes are scoped, so
// an exception unwinds through their releases; the cache mutex's take itself throws
// nothing once the mutex is held (region/locks.h), so no failure leaves it held.
#pragma once

#include "platform/status.h"
#include "tq5orvcache.h"

namespace tq5::exports {

// The export's code for what its body answered. A Status's failure is made the
// thread's latest again, so that what a caller reads beside the code is the reason for
// this code, not that of a later clean-up step that failed as well.
inline ResultCode Answer(ResultCode rc) { return rc; }
ResultCode Answer(const platform::Status& status);

// What an export answers when its body threw: CACHE_E_NO_MEMORY, with `exportName` and
// what was thrown as the thread's latest failure when that can still be recorded.
ResultCode Thrown(const char* exportName) noexcept;

template <typename Body>
ResultCode Guarded(const char* exportName, Body&& body) noexcept {
  try {
    return Answer(body());
  } catch (...) {
    return Thrown(exportName);
  }
}

}  // namespace tq5::exports
