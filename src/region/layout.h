// The region's layout: a 32-byte header, roleCapacity role slots, userCapacity user
// slots, packed back to back. It is also the cache file's format. Every access to the
// tables goes through RegionTables, whose capacities have been checked against the
// bytes that are really mapped, so that no header value can lead outside the view.
#pragma once

#include <cstddef>
#include <cstdint>

#include "region/locks.h"
#include "tq5orvcache.h"

namespace tq5::region {

inline constexpr uint64_t kHeaderSize = sizeof(CacheHeader);
inline constexpr uint64_t kRoleEntrySize = sizeof(RoleEntry);
inline constexpr uint64_t kUserEntrySize = sizeof(UserEntry);

inline constexpr int32_t kDefaultRoleCapacity = 1024;
inline constexpr int32_t kDefaultUserCapacity = 1024;
inline constexpr int32_t kDefaultAutoCommitRoles = 1;
inline constexpr int32_t kDefaultConfigValue = 300;

// A section's size is a 32-bit number of bytes.
inline constexpr uint64_t kMaxRegionSize = 0xFFFFFFFFu;

// Bytes of a region with these capacities (both at least 0).
constexpr uint64_t RegionSize(int64_t roleCapacity, int64_t userCapacity) {
  return kHeaderSize + kRoleEntrySize * static_cast<uint64_t>(roleCapacity) +
         kUserEntrySize * static_cast<uint64_t>(userCapacity);
}
static_assert(RegionSize(1024, 1024) == 1351712);
static_assert(RegionSize(0, 0) == 32);

// Whether capacities describe a region that a section can hold.
constexpr bool ValidCapacities(int64_t roleCapacity, int64_t userCapacity) {
  return roleCapacity >= 0 && userCapacity >= 0 && roleCapacity <= INT32_MAX &&
         userCapacity <= INT32_MAX && RegionSize(roleCapacity, userCapacity) <= kMaxRegionSize;
}

// The entries of a user's role set that may be read: a damaged count never reaches past
// the set's 128 slots, and a negative one reads nothing.
constexpr int32_t ReadableSetSize(int32_t count) {
  return count < 0 ? 0 : count > TQ5ORVCACHE_MAX_USER_ROLES ? TQ5ORVCACHE_MAX_USER_ROLES : count;
}

// Closes the gaps in one of a user's sets: `map(k, slot)` says what the k-th readable
// entry becomes (a slot, or a negative number to drop it); the rest keep their order and
// the count becomes what is kept (written only when it changes). The number kept.
template <typename Map>
int32_t CompactSet(int32_t* count, int32_t* slots, Map map) {
  const int32_t size = ReadableSetSize(*count);
  int32_t kept = 0;
  for (int32_t k = 0; k < size; ++k) {
    const int32_t next = map(k, slots[k]);
    if (next >= 0) slots[kept++] = next;
  }
  if (kept != *count) *count = kept;
  return kept;
}

// Takes `slot` out of one of a user's sets, keeping the order of the rest. A set whose
// count was damaged ends with the entries it could read.
inline void RemoveFromSet(int32_t* count, int32_t* slots, int32_t slot) {
  CompactSet(count, slots, [slot](int32_t, int32_t held) { return held != slot ? held : -1; });
}

// This process's view of the region: its base address and the bytes mapped there.
// A view always holds at least the header.
struct MappedRegion {
  uint8_t* base = nullptr;
  std::size_t size = 0;

  explicit operator bool() const { return base != nullptr; }
  CacheHeader& header() const { return *reinterpret_cast<CacheHeader*>(base); }
};

// The two tables of a mapped region, bound once per operation.
class RegionTables {
 public:
  // CACHE_E_CORRUPTED when the header's capacities are negative or their tables do not
  // fit the mapped bytes; CACHE_E_REGION_NOT_MAPPED without a view.
  // The live region's tables are bound under the global cache mutex.
  static ResultCode Bind(const MappedRegion& region, RegionTables* out)
      TQ5_REQUIRES(cacheMutexCapability);

  CacheHeader& header() const { return *header_; }
  int32_t roleCapacity() const { return roleCapacity_; }
  int32_t userCapacity() const { return userCapacity_; }

  // The high-water marks as scan bounds: the stored value, clamped into 0..capacity,
  // so that a damaged mark can never lead a scan out of its table.
  int32_t roleScanLimit() const { return Clamp(header_->roleHighWater, roleCapacity_); }
  int32_t userScanLimit() const { return Clamp(header_->userHighWater, userCapacity_); }

  // The entry at `index`, or null when the index lies outside the table.
  RoleEntry* role(int64_t index) const {
    return index >= 0 && index < roleCapacity_ ? &roles_[index] : nullptr;
  }
  UserEntry* user(int64_t index) const {
    return index >= 0 && index < userCapacity_ ? &users_[index] : nullptr;
  }
  RoleEntry* roles() const { return roles_; }
  UserEntry* users() const { return users_; }

  // A current set holds no references, so it may still name a role slot that is being
  // freed. A later merge can place another role there, and committing the set would
  // then hand that role to a user whom the directory never gave it: a freed slot leaves
  // every occupied user's current set. (A committed set holds its roles, so no slot of
  // one is ever freed.)
  void ForgetRoleInCurrentSets(int32_t slot) const {
    for (int32_t i = 0; i < userScanLimit(); ++i) {
      UserEntry& user = users_[i];
      if (user.inUse == 1) RemoveFromSet(&user.currentRoleCount, user.currentRoleSlots, slot);
    }
  }

 private:
  static int32_t Clamp(int32_t mark, int32_t capacity) {
    return mark < 0 ? 0 : mark > capacity ? capacity : mark;
  }

  CacheHeader* header_ = nullptr;
  RoleEntry* roles_ = nullptr;
  UserEntry* users_ = nullptr;
  int32_t roleCapacity_ = 0;
  int32_t userCapacity_ = 0;
};

inline ResultCode RegionTables::Bind(const MappedRegion& region, RegionTables* out) {
  if (!region) return CACHE_E_REGION_NOT_MAPPED;
  CacheHeader& header = region.header();
  const int32_t roles = header.roleCapacity;
  const int32_t users = header.userCapacity;
  if (!ValidCapacities(roles, users) || RegionSize(roles, users) > region.size) {
    return CACHE_E_CORRUPTED;
  }
  out->header_ = &header;
  out->roles_ = reinterpret_cast<RoleEntry*>(region.base + kHeaderSize);
  out->users_ = reinterpret_cast<UserEntry*>(region.base + kHeaderSize + kRoleEntrySize * roles);
  out->roleCapacity_ = roles;
  out->userCapacity_ = users;
  return CACHE_OK;
}

}  // namespace tq5::region
