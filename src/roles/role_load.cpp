// The server's two ways of filling the role table from the directory's complete role
// list: a load that rewrites the table from slot 0, and a merge that keeps every role
// already present in its slot, so that the slots cached users hold stay valid.
#include "region/call_patterns.h"
#include "region/text.h"
#include "roles/role_table.h"

using namespace tq5::region;
using namespace tq5::roles;

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
ResultCode Admit(const ServerCall& call, int32_t count, const RoleEntry* roles,
                 RegionTables* tables) {
  if (call.status() != CACHE_OK) return call.status();
  const ResultCode rc = RegionTables::Bind(call.region(), tables);
  if (rc != CACHE_OK) return rc;
  // Only the list's own length is compared: a merge may still run out of slots.
  if (count > tables->roleCapacity()) return CACHE_E_NO_SPACE;
  if (!AllTerminated(roles, count)) return CACHE_E_INVALID_POINTER;
  return CACHE_OK;
}

}  // namespace

extern "C" {

ResultCode PutAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles) {
  if (count <= 0) return CACHE_OK;
  if (!roles) return CACHE_E_INVALID_POINTER;
  ServerCall call;
  RegionTables tables;
  const ResultCode rc = Admit(call, count, roles, &tables);
  if (rc != CACHE_OK) return rc;
  // The user table is left alone: slots that users held now name the new list's roles.
  RoleTable(tables).Load(roles, count);
  return FlushRegion();
}

ResultCode UpdateAllRolesCacheDataSharedMemory(int32_t count, const RoleEntry* roles) {
  if (count <= 0) return CACHE_OK;
  if (!roles) return CACHE_E_INVALID_POINTER;
  ServerCall call;
  RegionTables tables;
  const ResultCode rc = Admit(call, count, roles, &tables);
  if (rc != CACHE_OK) return rc;
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
      // sweep does not run; the next successful merge sets every flag right again.
      FlushRegion();
      return CACHE_E_NO_SPACE;
    }
    table.Place(k, record);
  }
  table.ReleaseAllUnused();
  return FlushRegion();
}

}  // extern "C"
