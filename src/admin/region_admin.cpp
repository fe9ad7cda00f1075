// The admin interface's live region: its check and repair, the users an administrator
// refreshes or forgets, the machine's statistics and the two holders.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "directory/fetch_state.h"
#include "region/call_patterns.h"
#include "region/layout.h"
#include "region/locks.h"
#include "region/owner_death.h"
#include "region/region_check.h"
#include "region/region_state.h"
#include "region/statistics.h"
#include "region/user_index.h"
#include "tq5orvcache_admin.h"
#include "users/failed_answers.h"
#include "users/user_refresh.h"

namespace tq5::admin {

namespace {

std::string TextOf(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

TaskOutcome OutcomeOf(const region::TaskRecord& task) {
  return TaskOutcome{task.endedAt, task.durationMs, static_cast<ResultCode>(task.result)};
}

Statistics StatisticsOf(const region::StatisticsBlock& block) {
  Statistics out;
  out.countingSince = block.countingSince;
  std::copy(std::begin(block.counters), std::end(block.counters), std::begin(out.counters));
  out.lastGoodFileWrite = block.lastGoodFileWrite;
  out.lastMerge = OutcomeOf(block.lastMerge);
  out.lastSweep = OutcomeOf(block.lastSweep);
  const region::ServerSettingsRecord& s = block.server;
  out.server.published = s.published == 1;
  out.server.processId = s.processId;
  out.server.startedAt = s.startedAt;
  out.server.fetchTimeoutMs = s.fetchTimeoutMs;
  out.server.rolesIntervalMs = s.rolesIntervalMs;
  out.server.sweepIntervalMs = s.sweepIntervalMs;
  out.server.writeIntervalMs = s.writeIntervalMs;
  out.server.cacheFile = TextOf(s.cacheFile, sizeof s.cacheFile);
  out.server.directory = TextOf(s.directory, sizeof s.directory);
  out.server.version = TextOf(s.version, sizeof s.version);
  return out;
}

// A published text: cut to fit, always terminated.
template <std::size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  const std::size_t size = std::min(text.size(), N - 1);
  text.copy(field, size);
  field[size] = '\0';
}

}  // namespace

ResultCode CheckLiveRegion(bool repair, Findings* findings) {
  *findings = Findings{};
  region::ClientCall call;
  if (call.status() != CACHE_OK) return call.status();
  *findings = region::CheckRegion(call.region(), repair);
  // The index beside it, against the table as it is now (mended, with repair).
  if (!findings->unbound) region::CheckUserIndex(call.region(), repair, findings);
  if (repair && !findings->sound() && !findings->unbound) return region::FlushRegion();
  return CACHE_OK;
}

ResultCode RepairServerRegion(Findings* findings) {
  *findings = Findings{};
  const region::CacheLock lock;
  if (lock.status() != CACHE_OK) return lock.status();
  *findings = region::RepairServerRegion();
  return CACHE_OK;
}

uint64_t RegionBytes(int32_t roleCapacity, int32_t userCapacity) {
  return region::RegionSize(roleCapacity, userCapacity);
}

ResultCode RefreshUser(const char* domainName, const char* userName, int32_t timeoutMs) {
  return users::RefreshAndCommitUserRoles(domainName, userName, timeoutMs);
}

ResultCode ListFailedAnswers(std::vector<FailedAnswer>* answers) {
  std::vector<region::FailedAnswer> kept;
  const ResultCode rc = users::ListFailedAnswers(&kept);
  answers->clear();
  for (const region::FailedAnswer& answer : kept) {
    answers->push_back(FailedAnswer{TextOf(answer.domainName, sizeof answer.domainName),
                                    TextOf(answer.userName, sizeof answer.userName),
                                    static_cast<ResultCode>(answer.code), answer.expiresAt});
  }
  return rc;
}

ResultCode ForgetAllFailedAnswers() { return users::ForgetAllFailedAnswers(); }

bool ReadStatistics(Statistics* statistics) {
  region::StatisticsBlock block{};
  if (!region::ReadStatistics(&block)) return false;
  *statistics = StatisticsOf(block);
  return true;
}

bool ResetStatistics(Statistics* before) {
  region::StatisticsBlock block{};
  if (!region::ResetCounters(&block)) return false;
  *before = StatisticsOf(block);
  return true;
}

bool PublishServerSettings(const ServerSettings& settings) {
  region::ServerSettingsRecord record{};
  record.processId = static_cast<uint32_t>(settings.processId);
  record.startedAt = settings.startedAt;
  record.fetchTimeoutMs = settings.fetchTimeoutMs;
  record.rolesIntervalMs = settings.rolesIntervalMs;
  record.sweepIntervalMs = settings.sweepIntervalMs;
  record.writeIntervalMs = settings.writeIntervalMs;
  CopyText(record.cacheFile, settings.cacheFile);
  CopyText(record.directory, settings.directory);
  CopyText(record.version, settings.version);
  return region::PublishServerSettings(record);
}

// ---- Holders -----------------------------------------------------------------------

struct CacheHold::Held {
  region::CacheLock lock;
};

CacheHold::CacheHold() : held_(new Held) {}
CacheHold::~CacheHold() { delete held_; }
ResultCode CacheHold::status() const { return held_->lock.status(); }

namespace {

// What this process's latest successful fetch brought, as the directory shows it to its
// watcher; guarded by the process lock, under which the directory calls the watcher.
std::vector<RoleNameId>& LatestAnswer() {
  static std::vector<RoleNameId> answer;
  return answer;
}

void KeepLatestAnswer(const directory::FetchedRoles& answer) {
  try {
    LatestAnswer().assign(answer.begin(), answer.end());
  } catch (const std::bad_alloc&) {
    LatestAnswer().clear();
  }
}

void Watch(void (*watcher)(const directory::FetchedRoles&)) {
  const region::ProcessLock lock;
  directory::ProcessDirectory().fetch.watcher = watcher;
}

}  // namespace

FetchWatch::FetchWatch() { Watch(KeepLatestAnswer); }
FetchWatch::~FetchWatch() { Watch(nullptr); }

std::vector<RoleNameId> FetchWatch::LatestFetched() const {
  const region::ProcessLock lock;
  return LatestAnswer();
}

}  // namespace tq5::admin
