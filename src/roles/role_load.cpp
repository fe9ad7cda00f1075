// The server's two ways of filling the role table from the directory's complete role
// list: a load that rewrites the table from slot 0, and a merge that keeps every role
// already present in its slot, so that the slots cached users hold stay valid.
#include <string>
#include <unordered_map>
#include <vector>

#include "region/call_patterns.h"
#include "region/statistics.h"
#include "region/text.h"
#include "region/user_index.h"
#include "roles/exported_calls.h"
#include "roles/role_table.h"

using namespace tq5::region;
using namespace tq5::roles;
using tq5::platform::Status;

namespace {

// A record whose name or id lacks its NUL would leave the table with a text that runs
// into the next field; such a list is refused as a whole, before anything changes.
bool AllTerminated(const RoleEntry* records, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    if (!IsTerminated(records[i].name) || !IsTerminated(records[i].id)) return false;
  }
  return true;
}

// Everything both loads check before they change the table. On CACHE_OK `table` is
// bound to the server's region and the list fits it.
Status Admit(const ServerCall& call, int32_t count, const RoleEntry* roles, RegionTables* tables)
    TQ5_REQUIRES(cacheMutexCapability) {
  if (Status bound = call.BindTables(tables); !bound.ok()) return bound;
  // Only the list's own length is compared: a merge may still run out of slots.
  if (count > tables->roleCapacity()) return Status::Answer(CACHE_E_NO_SPACE);
  if (!AllTerminated(roles, count)) return Status::Answer(CACHE_E_INVALID_POINTER);
  return {};
}

std::string RoleKey(const RoleEntry& role) {
  return FoldedText(role.name) + '\0' + FoldedText(role.id);
}

// Where each in-use role below the mark will be once `records` has been loaded: the
// index of the first in-use record with the same name and id, or -1 for a role the new
// list does not name.
std::vector<int32_t> NewSlotsOfOldRoles(const RoleTable& table, const RoleEntry* records,
                                        int32_t count) {
  std::unordered_map<std::string, int32_t> listed;
  listed.reserve(static_cast<std::size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    if (records[i].inUse == 1) listed.emplace(RoleKey(records[i]), i);
  }
  std::vector<int32_t> moved(static_cast<std::size_t>(table.highWater()), -1);
  for (int32_t i = 0; i < table.highWater(); ++i) {
    const RoleEntry* old = table.at(i);
    if (old->inUse != 1) continue;
    const auto found = listed.find(RoleKey(*old));
    if (found != listed.end()) moved[static_cast<std::size_t>(i)] = found->second;
  }
  return moved;
}

// Renumbers one of a user's sets after a full load; roles the new list lacks leave it.
void MoveSet(int32_t* count, int32_t* slots, const std::vector<int32_t>& moved) {
  CompactSet(count, slots, [&moved](int32_t, int32_t slot) {
    return slot < 0 || static_cast<std::size_t>(slot) >= moved.size()
               ? -1
               : moved[static_cast<std::size_t>(slot)];
  });
}

// Cached users hold roles by slot, and a full load renumbers the slots: every user's
// sets follow their roles to the new slots by name and id, and each committed set
// that moves takes its reference along. (A record's own userRefs is stored as given,
// which is 0 from every caller that follows the load's contract.)
void CarryUsersOver(const RegionTables& tables, const std::vector<int32_t>& moved) {
  const RoleTable table(tables);
  const int32_t users = tables.userScanLimit();
  for (int32_t j = 0; j < users; ++j) {
    UserEntry& user = *tables.user(j);
    if (user.inUse != 1) continue;
    MoveSet(&user.roleCount, user.roleSlots, moved);
    MoveSet(&user.currentRoleCount, user.currentRoleSlots, moved);
    for (int32_t k = 0; k < user.roleCount; ++k) {
      int32_t& refs = table.at(user.roleSlots[k])->userRefs;
      if (refs < INT32_MAX) ++refs;
    }
  }
}

// The merge, inside the server's hold of the mutex.
Status MergeRoles(const ServerCall& call, int32_t count, const RoleEntry* roles)
    TQ5_REQUIRES(cacheMutexCapability) {
  RegionTables tables;
  if (Status admitted = Admit(call, count, roles, &tables); !admitted.ok()) return admitted;
  const RoleTable table(tables);

  // Unmark, merge, sweep: a role missing from the list is freed only after the whole
  // list has been merged, so its slot is not taken by a new role of the same list.
  table.UnmarkAll();
  for (int32_t i = 0; i < count; ++i) {
    const RoleEntry& record = roles[i];
    // The mark grows during the merge, so a role named twice is added once.
    int32_t k = FindRoleEntry(record, table.highWater(), table);
    if (k >= 0) {
      // Present already: it keeps its slot and the letter case stored first.
      RoleEntry* entry = table.at(k);
      entry->listed = 1;
      entry->slot = k;
      continue;
    }
    k = FindFreeRoleSlot(table.highWater(), table);
    if (k >= table.capacity()) {
      // Out of slots: what is merged so far stays, visible to every process, and the
      // sweep does not run; the next successful merge sets every flag right again. A
      // flush that fails as well is recorded, but the code is the merge's.
      (void)FlushRegionView();
      return Status::Answer(CACHE_E_NO_SPACE);
    }
    table.Place(k, record);
  }
  table.ReleaseAllUnused();
  return FlushRegionView();
}

}  // namespace

namespace tq5::calls {

Status PutAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles) {
  if (count <= 0) return {};
  if (!roles) return Status::Answer(CACHE_E_INVALID_POINTER);
  ServerCall call;
  RegionTables tables;
  if (Status admitted = Admit(call, count, roles, &tables); !admitted.ok()) return admitted;
  const RoleTable table(tables);
  const std::vector<int32_t> moved = NewSlotsOfOldRoles(table, roles, count);
  table.Load(roles, count);
  CarryUsersOver(tables, moved);
  // Users keep their slots, so the index stays as it is; failed answers were given
  // against the old list, and the directory is asked again.
  UserIndex::Of(tables).ForgetAllFailedAnswers();
  return FlushRegionView();
}

Status UpdateAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles) {
  if (count <= 0) return {};
  if (!roles) return Status::Answer(CACHE_E_INVALID_POINTER);
  const TaskClock clock;
  const ServerCall call;
  Status merged = MergeRoles(call, count, roles);
  if (call.status() == CACHE_OK) NoteServerTask(ServerTask::Merge, clock, merged.code());
  return merged;
}

}  // namespace tq5::calls
