#include "region/region_check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "region/text.h"

namespace tq5::region {

namespace {

constexpr int32_t kMaxSet = TQ5ORVCACHE_MAX_USER_ROLES;

// Roles whose references are counted in one pass over the users: the counts live on
// the stack, so that the check allocates nothing (most regions take one pass).
constexpr int32_t kRefsPerPass = 4096;

// What a finding is about: a header field (`entry` null), or a field of the entry
// `entry` `index` (the entry itself when `field` is null).
struct Where {
  const char* entry;
  int32_t index;
  const char* field;
};

std::string Named(const Where& where) {
  if (!where.entry) return where.field;
  std::string text = std::string(where.entry) + " " + std::to_string(where.index);
  return where.field ? text + " " + where.field : text;
}

// Findings are written as the entry and the two values, so that `orvcache check`
// can show them as they are; without `text` they are only counted, and nothing is
// built for them.
class Checker {
 public:
  Checker(const RegionTables& tables, bool repair, bool text, RegionFindings* out)
      : t_(tables), repair_(repair), text_(text), out_(out) {}

  void Run() TQ5_REQUIRES(cacheMutexCapability) {
    ClampMark("roleHighWater", &t_.header().roleHighWater, t_.roleCapacity());
    ClampMark("userHighWater", &t_.header().userHighWater, t_.userCapacity());
    const int32_t roleMark = t_.roleScanLimit();
    const int32_t userMark = t_.userScanLimit();

    for (int32_t i = 0; i < roleMark; ++i) {
      RoleEntry& role = *t_.role(i);
      if (role.inUse != 1) continue;
      Expect({"role", i, "slot"}, &role.slot, i);
      Terminate({"role", i, "name"}, role.name);
      Terminate({"role", i, "id"}, role.id);
    }

    for (int32_t j = 0; j < userMark; ++j) {
      UserEntry& user = *t_.user(j);
      if (user.inUse != 1) continue;
      Expect({"user", j, "slot"}, &user.slot, j);
      Terminate({"user", j, "domainName"}, user.domainName);
      Terminate({"user", j, "userName"}, user.userName);
      CheckSet({"user", j, "roleSlots"}, "roleSlots count", &user.roleCount, user.roleSlots,
               roleMark);
      CheckSet({"user", j, "currentRoleSlots"}, "currentRoleSlots count", &user.currentRoleCount,
               user.currentRoleSlots, roleMark);
    }

    for (int32_t first = 0; first < roleMark; first += kRefsPerPass) {
      const int32_t end = roleMark - first < kRefsPerPass ? roleMark : first + kRefsPerPass;
      int32_t refs[kRefsPerPass] = {};
      CountReferences(first, end, userMark, roleMark, refs);
      for (int32_t i = first; i < end; ++i) {
        RoleEntry& role = *t_.role(i);
        if (role.inUse != 1) continue;
        Expect({"role", i, "userRefs"}, &role.userRefs, refs[i - first]);
        if (role.listed == 0 && role.userRefs == 0) {
          Report({"role", i, nullptr},
                 [] { return std::string(": unlisted and held by no user, yet in use"); });
          if (repair_) Free(i);
        }
      }
    }

    Expect({nullptr, 0, "roleActiveCount"}, &t_.header().roleActiveCount,
           CountInUse(t_.roles(), roleMark));
    Expect({nullptr, 0, "userActiveCount"}, &t_.header().userActiveCount,
           CountInUse(t_.users(), userMark));
  }

 private:
  template <typename Entry>
  static int32_t CountInUse(const Entry* entries, int32_t limit) {
    int32_t n = 0;
    for (int32_t i = 0; i < limit; ++i) n += entries[i].inUse == 1;
    return n;
  }

  // The committed sets' references to the roles first..end-1, into refs[0..].
  void CountReferences(int32_t first, int32_t end, int32_t userMark, int32_t roleMark,
                       int32_t* refs) const {
    for (int32_t j = 0; j < userMark; ++j) {
      const UserEntry& user = *t_.user(j);
      if (user.inUse != 1) continue;
      for (int32_t k = 0; k < ReadableSetSize(user.roleCount); ++k) {
        const int32_t slot = user.roleSlots[k];
        if (slot >= first && slot < end && Holdable(slot, roleMark)) ++refs[slot - first];
      }
    }
  }

  // Counts the finding; with text, writes its line: what it is about, then `tail()`.
  template <typename Tail>
  void Report(const Where& where, Tail tail) {
    ++out_->count;
    if (text_) out_->lines.push_back(Named(where) + tail());
  }

  void Expect(const Where& where, int32_t* field, int32_t expected) {
    if (*field == expected) return;
    const int32_t found = *field;
    Report(where, [found, expected] {
      return " is " + std::to_string(found) + ", should be " + std::to_string(expected);
    });
    if (repair_) *field = expected;
  }

  void ClampMark(const char* what, int32_t* mark, int32_t capacity) {
    if (*mark >= 0 && *mark <= capacity) return;
    Expect({nullptr, 0, what}, mark, *mark < 0 ? 0 : capacity);
  }

  void Terminate(const Where& where, TextField& text) {
    if (IsTerminated(text)) return;
    Report(where, [] { return std::string(" has no terminating NUL"); });
    if (repair_) text[kTextSize - 1] = '\0';
  }

  bool Holdable(int32_t slot, int32_t roleMark) const {
    return slot >= 0 && slot < roleMark && t_.role(slot)->inUse == 1;
  }

  // A count outside 0..128 and entries that name no role in use; the rest of the set
  // keeps its order when the repair closes the gaps.
  void CheckSet(const Where& where, const char* countField, int32_t* count, int32_t* slots,
                int32_t roleMark) {
    if (*count < 0 || *count > kMaxSet) {
      Expect({where.entry, where.index, countField}, count, ReadableSetSize(*count));
    }
    const auto holdable = [&](int32_t k, int32_t slot) {
      if (Holdable(slot, roleMark)) return slot;
      Report(where, [k, slot] {
        return "[" + std::to_string(k) + "] names slot " + std::to_string(slot) +
               ", which holds no role";
      });
      return -1;
    };
    if (repair_) {
      CompactSet(count, slots, holdable);
      return;
    }
    for (int32_t k = 0; k < ReadableSetSize(*count); ++k) holdable(k, slots[k]);
  }

  // The release rule, which also takes the slot out of every current set.
  void Free(int32_t slot) {
    t_.role(slot)->inUse = 0;
    t_.ForgetRoleInCurrentSets(slot);
  }

  RegionTables t_;
  bool repair_;
  bool text_;
  RegionFindings* out_;
};

}  // namespace

RegionFindings CheckRegion(const MappedRegion& region, bool repair) {
  RegionFindings findings;
  RegionTables tables;
  if (RegionTables::Bind(region, &tables) != CACHE_OK) {
    findings.unbound = true;
    findings.count = 1;
    const CacheHeader& h = region.header();
    findings.lines.push_back("capacities " + std::to_string(h.roleCapacity) + " roles and " +
                             std::to_string(h.userCapacity) + " users do not fit the " +
                             std::to_string(region.size) + " bytes of the region");
    return findings;
  }
  Checker(tables, repair, /*text=*/true, &findings).Run();
  return findings;
}

RegionFindings CountRegionFaults(const MappedRegion& region, bool repair) noexcept {
  RegionFindings findings;
  RegionTables tables;
  if (RegionTables::Bind(region, &tables) != CACHE_OK) {
    findings.unbound = true;
    findings.count = 1;
    return findings;
  }
  Checker(tables, repair, /*text=*/false, &findings).Run();
  return findings;
}

}  // namespace tq5::region
