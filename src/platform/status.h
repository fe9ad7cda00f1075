// How the seam reports: the public code for the caller and, on failure, what a person
// needs to find out why: the call that failed, on which object, and the system's own
// reason (errno or GetLastError(), with its text). Each thread keeps its latest failure
// so that a command can print it beside the code. Success builds no text and allocates
// nothing, so the calls on the lookup's path cost what they cost before.
#pragma once

#include <memory>
#include <string>

#include "tq5orvcache.h"
#include "tq5orvcache_admin.h"

namespace tq5::platform {

// A failure's record (tq5orvcache_admin.h declares it, for the command that prints it).
using Failure = admin::SystemFailure;

class [[nodiscard]] Status {
 public:
  Status() = default;  // success

  // A failed system call. Reads the system's error first, before anything can change
  // it, so call it straight after the failing call. `call` names the call, `object`
  // what it was applied to.
  static Status Failed(ResultCode code, const char* call, const std::string& object);
  // The same with the error as the call returned it (pthread calls return theirs).
  static Status Failed(ResultCode code, const char* call, const std::string& object, long error);
  // A refusal of the seam's own: no system error, the reason in words.
  static Status Refused(ResultCode code, const char* call, const std::string& object,
                        std::string reason);
  // A failure of a step that has already recorded why (this thread's latest failure),
  // under the code of the step that called it.
  static Status After(ResultCode code);
  // An answer of the library's own rules with no system call behind it (a region that
  // is not open, a view the process has already): the code alone, recorded nowhere.
  static Status Answer(ResultCode code);
  // A failure that another thread recorded (a fetch's worker), made this thread's latest
  // under `code`, so that the caller of the step that waited for it learns why.
  static Status Carried(ResultCode code, const Failure& failure);

  bool ok() const { return code_ == CACHE_OK; }
  ResultCode code() const { return code_; }
  // What failed; null on success.
  const Failure* failure() const { return failure_.get(); }
  // Makes this failure the thread's latest again (a later step may have recorded its
  // own since); nothing on success.
  void MakeLatest() const;

 private:
  explicit Status(std::shared_ptr<const Failure> failure);
  ResultCode code_ = CACHE_OK;
  std::shared_ptr<const Failure> failure_;
};

// For a step that answers something other than a Status (a lock outcome, a flag): records
// the failure as this thread's latest, as Status::Failed and Status::Refused do, so that
// its caller can still say why.
void NoteFailed(ResultCode code, const char* call, const std::string& object, long error);
void NoteRefused(ResultCode code, const char* call, const std::string& object, std::string reason);

// This thread's latest failure of a seam call: code CACHE_OK when there was none since
// the thread began or last cleared it.
const Failure& LastFailure();
void ClearLastFailure();

// The system's error code as the latest call of this thread left it, and its text
// (each platform has its own).
long LastSystemError();
std::string SystemErrorText(long error);

}  // namespace tq5::platform
