#include "region/region_check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "region/text.h"

namespace tq5::region {

namespace {

constexpr int32_t kMaxSet = TQ5ORVCACHE_MAX_USER_ROLES;

// Findings are written as the entry and the two values, so that `orvcache check`
// can show them as they are.
class Checker {
 public:
  Checker(const RegionTables& tables, bool repair, RegionFindings* out)
      : t_(tables), repair_(repair), out_(out) {}

  void Run() {
    ClampMark("roleHighWater", &t_.header().roleHighWater, t_.roleCapacity());
    ClampMark("userHighWater", &t_.header().userHighWater, t_.userCapacity());
    const int32_t roleMark = t_.roleScanLimit();
    const int32_t userMark = t_.userScanLimit();

    for (int32_t i = 0; i < roleMark; ++i) {
      RoleEntry& role = *t_.role(i);
      if (role.inUse != 1) continue;
      std::string what = "role " + std::to_string(i);
      Expect(what + " slot", &role.slot, i);
      Terminate(what + " name", role.name);
      Terminate(what + " id", role.id);
    }

    std::vector<int32_t> refs(static_cast<std::size_t>(roleMark), 0);
    for (int32_t j = 0; j < userMark; ++j) {
      UserEntry& user = *t_.user(j);
      if (user.inUse != 1) continue;
      std::string what = "user " + std::to_string(j);
      Expect(what + " slot", &user.slot, j);
      Terminate(what + " domainName", user.domainName);
      Terminate(what + " userName", user.userName);
      CheckSet(what + " roleSlots", &user.roleCount, user.roleSlots, roleMark);
      CheckSet(what + " currentRoleSlots", &user.currentRoleCount, user.currentRoleSlots, roleMark);
      for (int32_t k = 0; k < ReadableSetSize(user.roleCount); ++k) {
        if (Holdable(user.roleSlots[k], roleMark)) ++refs[user.roleSlots[k]];
      }
    }

    for (int32_t i = 0; i < roleMark; ++i) {
      RoleEntry& role = *t_.role(i);
      if (role.inUse != 1) continue;
      const std::string what = "role " + std::to_string(i);
      Expect(what + " userRefs", &role.userRefs, refs[i]);
      if (role.listed == 0 && role.userRefs == 0) {
        Report(what + ": unlisted and held by no user, yet in use");
        if (repair_) Free(i);
      }
    }

    Expect("roleActiveCount", &t_.header().roleActiveCount, CountInUse(t_.roles(), roleMark));
    Expect("userActiveCount", &t_.header().userActiveCount, CountInUse(t_.users(), userMark));
  }

 private:
  template <typename Entry>
  static int32_t CountInUse(const Entry* entries, int32_t limit) {
    int32_t n = 0;
    for (int32_t i = 0; i < limit; ++i) n += entries[i].inUse == 1;
    return n;
  }

  void Report(std::string line) { out_->lines.push_back(std::move(line)); }

  void Expect(const std::string& what, int32_t* field, int32_t expected) {
    if (*field == expected) return;
    Report(what + " is " + std::to_string(*field) + ", should be " + std::to_string(expected));
    if (repair_) *field = expected;
  }

  void ClampMark(const char* what, int32_t* mark, int32_t capacity) {
    if (*mark >= 0 && *mark <= capacity) return;
    Expect(what, mark, *mark < 0 ? 0 : capacity);
  }

  void Terminate(const std::string& what, TextField& text) {
    if (IsTerminated(text)) return;
    Report(what + " has no terminating NUL");
    if (repair_) text[kTextSize - 1] = '\0';
  }

  bool Holdable(int32_t slot, int32_t roleMark) const {
    return slot >= 0 && slot < roleMark && t_.role(slot)->inUse == 1;
  }

  // A count outside 0..128 and entries that name no role in use; the rest of the set
  // keeps its order when the repair closes the gaps.
  void CheckSet(const std::string& what, int32_t* count, int32_t* slots, int32_t roleMark) {
    if (*count < 0 || *count > kMaxSet) {
      Expect(what + " count", count, ReadableSetSize(*count));
    }
    const int32_t size = ReadableSetSize(*count);
    int32_t kept = 0;
    for (int32_t k = 0; k < size; ++k) {
      if (Holdable(slots[k], roleMark)) {
        if (repair_) slots[kept] = slots[k];
        ++kept;
        continue;
      }
      Report(what + "[" + std::to_string(k) + "] names slot " + std::to_string(slots[k]) +
             ", which holds no role");
    }
    if (repair_) *count = kept;
  }

  // The release rule, which also takes the slot out of every current set.
  void Free(int32_t slot) {
    t_.role(slot)->inUse = 0;
    t_.ForgetRoleInCurrentSets(slot);
  }

  RegionTables t_;
  bool repair_;
  RegionFindings* out_;
};

}  // namespace

RegionFindings CheckRegion(const MappedRegion& region, bool repair) {
  RegionFindings findings;
  RegionTables tables;
  if (RegionTables::Bind(region, &tables) != CACHE_OK) {
    findings.unbound = true;
    const CacheHeader& h = region.header();
    findings.lines.push_back("capacities " + std::to_string(h.roleCapacity) + " roles and " +
                             std::to_string(h.userCapacity) + " users do not fit the " +
                             std::to_string(region.size) + " bytes of the region");
    return findings;
  }
  Checker(tables, repair, &findings).Run();
  return findings;
}

}  // namespace tq5::region
