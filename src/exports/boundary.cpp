#include "exports/boundary.h"

#include <exception>
#include <new>
#include <string>

namespace tq5::exports {

ResultCode Answer(const platform::Status& status) {
  status.MakeLatest();
  return status.code();
}

ResultCode Thrown(const char* exportName) noexcept {
  // Recording needs memory too; when there is none, the code alone has to do.
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      platform::NoteRefused(CACHE_E_NO_MEMORY, exportName, "", "out of memory");
    } catch (const std::exception& thrown) {
      platform::NoteRefused(CACHE_E_NO_MEMORY, exportName, "", thrown.what());
    } catch (...) {
      platform::NoteRefused(CACHE_E_NO_MEMORY, exportName, "", "an unexpected exception");
    }
  } catch (...) {
  }
  return CACHE_E_NO_MEMORY;
}

}  // namespace tq5::exports
