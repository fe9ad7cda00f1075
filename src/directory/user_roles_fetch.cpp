// The body of one fetch, run by the worker inside the component's apartment.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "directory/fetch_context.h"

namespace tq5::directory {
namespace {

using platform::RoleStrings;

// The longest name or id the fetch accepts, one short of what a 64-byte field holds.
constexpr std::size_t kMaxDirectoryText = 62;

bool Failed(platform::ComponentResult result) { return result < 0; }

// The number of elements of an out-array: upper - lower + 1, or 0 for an array-typed
// output that carries no array. 64 bits, so that no pair of bounds can overflow it.
int64_t ElementCount(const RoleStrings& strings) {
  int32_t lower = 0;
  int32_t upper = 0;
  if (!strings.Bounds(&lower, &upper)) return 0;
  return static_cast<int64_t>(upper) - static_cast<int64_t>(lower) + 1;
}

// Takes the roles out of the two out-arrays into context.roles / roleCount.
ResultCode TakeRoles(const RoleStrings* names, const RoleStrings* ids, FetchContext& context) {
  // Outputs of another type mean that the user has no roles.
  if (!names || !ids || !names->IsStringArray() || !ids->IsStringArray()) return CACHE_OK;
  const int64_t count = ElementCount(*names);
  if (count == 0 && ElementCount(*ids) == 0) return CACHE_OK;
  if (count <= 0 || count != ElementCount(*ids)) return CACHE_E_USER_FETCH_SIZE_MISMATCH;
  // The count must fit the 32-bit roleCount and the allocation a size_t.
  if (count > INT32_MAX || static_cast<uint64_t>(count) > SIZE_MAX / sizeof(RoleNameId)) {
    return CACHE_E_USER_FETCH_ALLOC;
  }
  auto* roles =
      static_cast<RoleNameId*>(std::malloc(static_cast<std::size_t>(count) * sizeof(RoleNameId)));
  if (!roles) return CACHE_E_USER_FETCH_ALLOC;
  context.roles = roles;
  context.roleCount = static_cast<int32_t>(count);
  std::wstring name;
  std::wstring id;
  for (int32_t i = 0; i < context.roleCount; ++i) {
    RoleNameId& record = roles[i];
    // An element that cannot be read leaves its record with an empty name and id.
    std::memset(&record, 0, sizeof record);
    name.clear();
    id.clear();
    if (!names->Element(i, &name) || !ids->Element(i, &id)) continue;
    // The limit holds for the characters the directory gave and for the bytes they
    // become: a name of few characters but many bytes is refused, never cut.
    const std::string storedName = platform::FromComponentString(name);
    const std::string storedId = platform::FromComponentString(id);
    if (name.size() > kMaxDirectoryText || id.size() > kMaxDirectoryText ||
        storedName.size() > kMaxDirectoryText || storedId.size() > kMaxDirectoryText) {
      context.roleCount = 0;
      return CACHE_E_USER_FETCH_NAME_TOO_LONG;
    }
    std::memcpy(record.name, storedName.c_str(), storedName.size() + 1);
    std::memcpy(record.id, storedId.c_str(), storedId.size() + 1);
  }
  return CACHE_OK;
}

// GetUserRolesEx and the taking out of its answer; the out-arrays are cleared on return.
ResultCode AskForRoles(platform::DirectoryObject& object, const std::wstring& domainName,
                       const std::wstring& userName, FetchContext& context) {
  try {
    std::unique_ptr<RoleStrings> names;
    std::unique_ptr<RoleStrings> ids;
    if (Failed(object.GetUserRolesEx(domainName, userName, &names, &ids))) {
      return CACHE_E_USER_FETCH_CALL;
    }
    return TakeRoles(names.get(), ids.get(), context);
  } catch (const std::bad_alloc&) {
    context.roleCount = 0;
    return CACHE_E_NO_MEMORY;
  }
}

}  // namespace

ResultCode GetORVUserRoles(FetchContext& context) {
  const DirectoryAccess& access = context.access;
  // A held object of a directory the machine no longer chooses is let go (the fetch's
  // adoption retires it) and one of the chosen directory made in its place.
  if (context.object && !context.object->StillChosen()) context.object = nullptr;
  if (!context.object) {
    context.object = access.createObject();
    if (!context.object) return CACHE_E_USER_FETCH_CREATE_AUTHZ;
  }
  std::wstring domainName;
  std::wstring userName;
  if (!access.toComponentString(context.domainName, &domainName) ||
      !access.toComponentString(context.userName, &userName)) {
    return CACHE_E_NO_MEMORY;
  }
  if (Failed(context.object->InitializeCache())) {
    // One more try with a new object. An object that this fetch made is its alone and is
    // released; the process's held one is only let go, since a worker that outlived its
    // fetch may still be inside a call on it.
    if (context.object != context.heldAtStart) context.object->Release();
    context.object = access.createObject();
    if (!context.object) return CACHE_E_USER_FETCH_INIT;
    if (Failed(context.object->InitializeCache())) {
      context.object->Release();
      context.object = nullptr;
      return CACHE_E_USER_FETCH_INIT;
    }
  }
  const ResultCode result = AskForRoles(*context.object, domainName, userName, context);
  context.object->CloseCache();
  return result;
}

}  // namespace tq5::directory
