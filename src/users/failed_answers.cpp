#include "users/failed_answers.h"

#include "region/call_patterns.h"

namespace tq5::users {

namespace {

template <typename Work>
ResultCode WithIndex(Work work) {
  region::ClientCall call;
  region::RegionTables tables;
  if (const ResultCode rc = call.BindTables(&tables); rc != CACHE_OK) return rc;
  work(region::UserIndex::Of(tables));
  return CACHE_OK;
}

}  // namespace

ResultCode ListFailedAnswers(std::vector<region::FailedAnswer>* out) {
  return region::AnswerOf(
      WithIndex([out](const region::UserIndex& index) { *out = index.FailedAnswers(); }));
}

ResultCode ForgetAllFailedAnswers() {
  return region::AnswerOf(
      WithIndex([](const region::UserIndex& index) { index.ForgetAllFailedAnswers(); }));
}

}  // namespace tq5::users
