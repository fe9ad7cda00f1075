#include "presentation.h"

#include <algorithm>

namespace orvcache {
namespace {

// The slots of one role set, within the 128 a set can hold however damaged the count.
std::vector<int32_t> SetSlots(int32_t count, const int32_t (&slots)[TQ5ORVCACHE_MAX_USER_ROLES]) {
  const int32_t n = std::clamp<int32_t>(count, 0, TQ5ORVCACHE_MAX_USER_ROLES);
  return std::vector<int32_t>(slots, slots + n);
}

Json SetJson(const std::vector<int32_t>& slots, const RoleSlots& roles) {
  Json set = Json::array();
  for (int32_t slot : slots) {
    if (slot < 0) continue;  // skipped by every reader
    const auto found = roles.find(slot);
    Json role = {{"slot", slot}};
    if (found != roles.end()) {
      role["name"] = FieldText(found->second.name);
      role["id"] = FieldText(found->second.id);
    } else {
      role["name"] = nullptr;  // the slot holds no role in use
      role["id"] = nullptr;
    }
    set.push_back(role);
  }
  return set;
}

std::string SetText(const std::vector<int32_t>& slots, const RoleSlots& roles) {
  std::string text;
  for (int32_t slot : slots) {
    if (slot < 0) continue;
    const auto found = roles.find(slot);
    if (!text.empty()) text += ", ";
    text += found != roles.end() ? FieldText(found->second.name)
                                 : "(free slot " + std::to_string(slot) + ")";
  }
  return text.empty() ? "-" : text;
}

}  // namespace

RoleSlots BySlot(const std::vector<RoleEntry>& roles) {
  RoleSlots slots;
  for (const RoleEntry& role : roles) slots[role.slot] = role;
  return slots;
}

const char* StatusName(int32_t status) {
  switch (status) {
    case USER_ROLES_PENDING:
      return "pending";
    case USER_ROLES_CURRENT:
      return "current";
    case USER_ROLES_FETCH_FAILED:
      return "fetch-failed";
    default:
      return "unknown";
  }
}

int64_t ExpiresAt(int32_t lastAccess) {
  // The sweep keeps a user while lastAccess + the expiry is not less than now.
  return static_cast<int64_t>(lastAccess) + TQ5ORVCACHE_USER_EXPIRY_SECONDS + 1;
}

Json RoleJson(const RoleEntry& role) {
  return {{"slot", role.slot},
          {"name", FieldText(role.name)},
          {"id", FieldText(role.id)},
          {"listed", role.listed == 1},
          {"userRefs", role.userRefs}};
}

void PrintRoles(const std::vector<RoleEntry>& roles) {
  Table table({"SLOT", "NAME", "ID", "LISTED", "USERS"}, {true, false, false, false, true});
  for (const RoleEntry& role : roles) {
    table.Add({std::to_string(role.slot), FieldText(role.name), FieldText(role.id),
               role.listed == 1 ? "yes" : "no", std::to_string(role.userRefs)});
  }
  table.Print();
}

void PrintUserRoles(const std::vector<RoleNameId>& roles) {
  if (roles.empty()) return;
  Table table({"NAME", "ID"});
  for (const RoleNameId& role : roles) table.Add({FieldText(role.name), FieldText(role.id)});
  table.Print();
}

Json UserJson(const UserEntry& user, const RoleSlots& roles, int64_t now) {
  return {{"slot", user.slot},
          {"domain", FieldText(user.domainName)},
          {"user", FieldText(user.userName)},
          {"status", StatusName(user.status)},
          {"lastAccess", FormatTime(user.lastAccess)},
          {"lastAccessEpoch", user.lastAccess},
          {"expiresAt", FormatTime(ExpiresAt(user.lastAccess))},
          {"expired", ExpiresAt(user.lastAccess) <= now},
          {"roles", SetJson(SetSlots(user.roleCount, user.roleSlots), roles)},
          {"currentRoles", SetJson(SetSlots(user.currentRoleCount, user.currentRoleSlots), roles)}};
}

void PrintUsers(const std::vector<UserEntry>& users, const RoleSlots& roles, int64_t now) {
  Table table({"SLOT", "USER", "STATUS", "LAST ACCESS", "EXPIRES", "ROLES"},
              {true, false, false, false, false, false});
  for (const UserEntry& user : users) {
    const int64_t expires = ExpiresAt(user.lastAccess);
    std::string roleText = SetText(SetSlots(user.roleCount, user.roleSlots), roles);
    if (user.status == USER_ROLES_PENDING) {
      roleText +=
          "  (fetched: " + SetText(SetSlots(user.currentRoleCount, user.currentRoleSlots), roles) +
          ")";
    }
    table.Add({std::to_string(user.slot),
               UserLabel(FieldText(user.domainName), FieldText(user.userName)),
               StatusName(user.status), FormatTime(user.lastAccess),
               expires <= now ? "at next sweep" : "in " + FormatDuration((expires - now) * 1000),
               roleText});
  }
  table.Print();
}

}  // namespace orvcache
