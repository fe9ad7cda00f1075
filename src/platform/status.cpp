#include "platform/status.h"

#include <utility>

namespace tq5::platform {

namespace {

Failure& Latest() {
  thread_local Failure latest;
  return latest;
}

std::string CallText(const char* call, const std::string& object) {
  return object.empty() ? std::string(call) : std::string(call) + "(" + object + ")";
}

}  // namespace

Status::Status(std::shared_ptr<const Failure> failure)
    : code_(failure->code), failure_(std::move(failure)) {
  Latest() = *failure_;
}

Status Status::Failed(ResultCode code, const char* call, const std::string& object) {
  return Failed(code, call, object, LastSystemError());
}

Status Status::Failed(ResultCode code, const char* call, const std::string& object, long error) {
  auto failure = std::make_shared<Failure>();
  failure->code = code;
  failure->systemError = error;
  failure->call = CallText(call, object);
  failure->reason = SystemErrorText(error);
  return Status(std::move(failure));
}

Status Status::Refused(ResultCode code, const char* call, const std::string& object,
                       std::string reason) {
  auto failure = std::make_shared<Failure>();
  failure->code = code;
  failure->call = CallText(call, object);
  failure->reason = std::move(reason);
  return Status(std::move(failure));
}

Status Status::After(ResultCode code) {
  auto failure = std::make_shared<Failure>(Latest());
  failure->code = code;
  if (failure->call.empty()) failure->call = "unknown call";
  return Status(std::move(failure));
}

void Status::MakeLatest() const {
  if (failure_ && (Latest().code != failure_->code || Latest().call != failure_->call)) {
    Latest() = *failure_;
  }
}

Status Status::Answer(ResultCode code) {
  Status answer;
  answer.code_ = code;
  return answer;
}

void NoteFailed(ResultCode code, const char* call, const std::string& object, long error) {
  (void)Status::Failed(code, call, object, error);
}

void NoteRefused(ResultCode code, const char* call, const std::string& object, std::string reason) {
  (void)Status::Refused(code, call, object, std::move(reason));
}

Status Status::Carried(ResultCode code, const Failure& carried) {
  auto failure = std::make_shared<Failure>(carried);
  failure->code = code;
  return Status(std::move(failure));
}

const Failure& LastFailure() { return Latest(); }

void ClearLastFailure() { Latest() = Failure{}; }

}  // namespace tq5::platform
