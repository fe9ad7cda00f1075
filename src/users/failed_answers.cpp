#include "users/failed_answers.h"

#include "region/call_patterns.h"
#include "users/user_call.h"

namespace tq5::users {

namespace {

template <typename Work>
platform::Status WithIndex(Work work) {
  region::ClientCall call;
  region::RegionTables tables;
  if (platform::Status bound = call.BindTables(&tables); !bound.ok()) return bound;
  work(region::UserIndex::Of(tables));
  return {};
}

}  // namespace

ResultCode ListFailedAnswers(std::vector<region::FailedAnswer>* out) {
  return CodeOf(region::AnswerOf(
      WithIndex([out](const region::UserIndex& index) { *out = index.FailedAnswers(); })));
}

ResultCode ForgetAllFailedAnswers() {
  return CodeOf(region::AnswerOf(
      WithIndex([](const region::UserIndex& index) { index.ForgetAllFailedAnswers(); })));
}

}  // namespace tq5::users
