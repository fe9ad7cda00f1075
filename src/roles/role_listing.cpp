// The four role listings: all roles in use, or only those in the latest complete list,
// each from the server's own view or a view acquired for the call as a client. The whole
// listing runs inside one hold of the global cache mutex, so the copy is a snapshot.
#include "region/call_patterns.h"
#include "roles/exported_calls.h"
#include "roles/role_table.h"

using namespace tq5::region;
using namespace tq5::roles;
using tq5::platform::Status;

namespace {

enum class Which { kAll, kActive };

bool Matches(const RoleEntry& entry, Which which) {
  return entry.inUse == 1 && (which == Which::kAll || entry.listed == 1);
}

// On entry *count is the buffer's capacity in records; on return the number of matching
// roles in the table, whether or not all fitted. Never more than the capacity is written.
template <typename Call>
Status ListRolesInCall(int32_t* count, RoleEntry* buffer, Which which) {
  Call call;
  RegionTables tables;
  if (Status bound = call.BindTables(&tables); !bound.ok()) return bound;
  const RoleTable table(tables);

  // The total is the number of entries actually matched, for both listings: it equals
  // roleActiveCount in a sound table, and a damaged count cannot make the answer claim
  // records that were never written.
  const int32_t capacity = *count;
  const int32_t limit = table.highWater();
  int32_t total = 0;
  for (int32_t i = 0; i < limit; ++i) {
    const RoleEntry& entry = *table.at(i);
    if (!Matches(entry, which)) continue;
    if (total < capacity) buffer[total] = entry;
    ++total;
  }
  *count = total;
  return Coded(total <= capacity ? CACHE_OK : CACHE_E_BUFFER_TOO_SMALL);
}

template <typename Call>
Status ListRoles(int32_t* count, RoleEntry* buffer, Which which) {
  if (!count || !buffer) return Status::Answer(CACHE_E_INVALID_POINTER);
  return AnswerOf(ListRolesInCall<Call>(count, buffer, which));
}

}  // namespace

namespace tq5::calls {

Status GetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return ListRoles<ServerCall>(count, roles, Which::kAll);
}
Status GetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return ListRoles<ServerCall>(count, roles, Which::kActive);
}
Status ClientGetAllRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return ListRoles<ClientCall>(count, roles, Which::kAll);
}
Status ClientGetAllActiveRolesCacheDataSharedMemory(int32_t* count, RoleEntry* roles) {
  return ListRoles<ClientCall>(count, roles, Which::kActive);
}

}  // namespace tq5::calls
