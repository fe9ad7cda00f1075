// The twelve exports that read and write the header's eight fields, in three groups.
// A Put stores every value but -1 (which leaves its field unchanged) and flushes; a Get
// fills every non-null pointer.
//
// The capacities fix where the tables lie, for every process at once, and the start-up
// rebuilds the region only from a header whose marks and counts fit them. So a Put of
// a table group is refused as a whole (CACHE_E_NO_SPACE, nothing stored) when the group
// would then name other capacities than the region really has, a mark outside
// 0..capacity or a count outside 0..mark.
#include <cstddef>

#include "region/cache_image.h"
#include "region/call_patterns.h"
#include "region/exported_calls.h"

using namespace tq5::region;

namespace {

using Field = int32_t CacheHeader::*;

constexpr int32_t kKeep = -1;

// A table group may change only to the region's real capacity, with its mark and count
// fitting it. The real capacities are those this process created the region with or,
// in any other process, those the header holds now (no Put can have changed them).
bool GroupAdmissible(int32_t created, int32_t nowCapacity, int32_t capacity, int32_t highWater,
                     int32_t activeCount) {
  const int32_t real = created >= 0 ? created : nowCapacity;
  return capacity == real && MarksFit(capacity, highWater, activeCount);
}

// Only a group the Put changes is held to the rule, so that a mark damaged in one
// group does not block a Put to another.
bool Admissible(const CacheHeader& now, const CacheHeader& next)
    TQ5_REQUIRES(cacheMutexCapability) {
  const ProcessState& state = ProcessRegion();
  const bool roles = next.roleCapacity != now.roleCapacity ||
                     next.roleHighWater != now.roleHighWater ||
                     next.roleActiveCount != now.roleActiveCount;
  const bool users = next.userCapacity != now.userCapacity ||
                     next.userHighWater != now.userHighWater ||
                     next.userActiveCount != now.userActiveCount;
  return (!roles || GroupAdmissible(state.createdRoleCapacity, now.roleCapacity, next.roleCapacity,
                                    next.roleHighWater, next.roleActiveCount)) &&
         (!users || GroupAdmissible(state.createdUserCapacity, now.userCapacity, next.userCapacity,
                                    next.userHighWater, next.userActiveCount));
}

template <typename Call, std::size_t N>
ResultCode PutFieldsInCall(const Field (&fields)[N], const int32_t (&values)[N]) {
  Call call;
  if (call.status() != CACHE_OK) return call.status();
  CacheHeader& header = call.region().header();
  CacheHeader next = header;
  for (std::size_t i = 0; i < N; ++i) {
    if (values[i] != kKeep) next.*fields[i] = values[i];
  }
  if (!Admissible(header, next)) return CACHE_E_NO_SPACE;
  header = next;
  return FlushRegion();
}

template <typename Call, std::size_t N>
ResultCode PutFields(const Field (&fields)[N], const int32_t (&values)[N]) {
  return AnswerOf(PutFieldsInCall<Call>(fields, values));
}

template <typename Call, std::size_t N>
ResultCode GetFieldsInCall(const Field (&fields)[N], int32_t* const (&outs)[N]) {
  Call call;
  if (call.status() != CACHE_OK) return call.status();
  const CacheHeader& header = call.region().header();
  for (std::size_t i = 0; i < N; ++i) {
    if (outs[i]) *outs[i] = header.*fields[i];
  }
  return CACHE_OK;
}

template <typename Call, std::size_t N>
ResultCode GetFields(const Field (&fields)[N], int32_t* const (&outs)[N]) {
  return AnswerOf(GetFieldsInCall<Call>(fields, outs));
}

constexpr Field kRoleFields[] = {&CacheHeader::roleCapacity, &CacheHeader::roleHighWater,
                                 &CacheHeader::roleActiveCount};
constexpr Field kUserFields[] = {&CacheHeader::userCapacity, &CacheHeader::userHighWater,
                                 &CacheHeader::userActiveCount};
constexpr Field kConfigFields[] = {&CacheHeader::autoCommitRoles, &CacheHeader::configValue};

}  // namespace

namespace tq5::calls {

ResultCode PutRoleProperties(int32_t capacity, int32_t highWater, int32_t activeCount) {
  return PutFields<ServerCall>(kRoleFields, {capacity, highWater, activeCount});
}
ResultCode GetRoleProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount) {
  return GetFields<ServerCall>(kRoleFields, {capacity, highWater, activeCount});
}
ResultCode PutUserProperties(int32_t capacity, int32_t highWater, int32_t activeCount) {
  return PutFields<ServerCall>(kUserFields, {capacity, highWater, activeCount});
}
ResultCode GetUserProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount) {
  return GetFields<ServerCall>(kUserFields, {capacity, highWater, activeCount});
}
ResultCode PutConfigurationData(int32_t autoCommitRoles, int32_t configValue) {
  return PutFields<ServerCall>(kConfigFields, {autoCommitRoles, configValue});
}
ResultCode GetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue) {
  return GetFields<ServerCall>(kConfigFields, {autoCommitRoles, configValue});
}

ResultCode ClientPutRoleProperties(int32_t capacity, int32_t highWater, int32_t activeCount) {
  return PutFields<ClientCall>(kRoleFields, {capacity, highWater, activeCount});
}
ResultCode ClientGetRoleProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount) {
  return GetFields<ClientCall>(kRoleFields, {capacity, highWater, activeCount});
}
ResultCode ClientPutUserProperties(int32_t capacity, int32_t highWater, int32_t activeCount) {
  return PutFields<ClientCall>(kUserFields, {capacity, highWater, activeCount});
}
ResultCode ClientGetUserProperties(int32_t* capacity, int32_t* highWater, int32_t* activeCount) {
  return GetFields<ClientCall>(kUserFields, {capacity, highWater, activeCount});
}
ResultCode ClientPutConfigurationData(int32_t autoCommitRoles, int32_t configValue) {
  return PutFields<ClientCall>(kConfigFields, {autoCommitRoles, configValue});
}
ResultCode ClientGetConfigurationData(int32_t* autoCommitRoles, int32_t* configValue) {
  return GetFields<ClientCall>(kConfigFields, {autoCommitRoles, configValue});
}

}  // namespace tq5::calls
