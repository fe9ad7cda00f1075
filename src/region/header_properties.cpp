// The twelve exports that read and write the header's eight fields, in three groups.
// A Put stores every value but -1 (which leaves its field unchanged) and flushes; a Get
// fills every non-null pointer. The capacities are stored as given: the tables are only
// ever reached through RegionTables, which checks them against the mapped bytes.
#include <cstddef>

#include "region/call_patterns.h"

using namespace tq5::region;

namespace {

using Field = int32_t CacheHeader::*;

constexpr int32_t kKeep = -1;

template <typename Call, std::size_t N>
ResultCode PutFields(const Field (&fields)[N], const int32_t (&values)[N]) {
  Call call;
  if (call.status() != CACHE_OK) return call.status();
  CacheHeader& header = call.region().header();
  for (std::size_t i = 0; i < N; ++i) {
    if (values[i] != kKeep) header.*fields[i] = values[i];
  }
  return FlushRegion();
}

template <typename Call, std::size_t N>
ResultCode GetFields(const Field (&fields)[N], int32_t* const (&outs)[N]) {
  Call call;
  if (call.status() != CACHE_OK) return call.status();
  const CacheHeader& header = call.region().header();
  for (std::size_t i = 0; i < N; ++i) {
    if (outs[i]) *outs[i] = header.*fields[i];
  }
  return CACHE_OK;
}

constexpr Field kRoleFields[] = {&CacheHeader::roleCapacity, &CacheHeader::roleHighWater,
                                 &CacheHeader::roleActiveCount};
constexpr Field kUserFields[] = {&CacheHeader::userCapacity, &CacheHeader::userHighWater,
                                 &CacheHeader::userActiveCount};
constexpr Field kConfigFields[] = {&CacheHeader::autoCommitRoles, &CacheHeader::configValue};

}  // namespace

extern "C" {

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

}  // extern "C"
