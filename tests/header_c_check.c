/* The public header must be usable from C: this file only has to compile. */
#include "tq5orvcache.h"

ResultCode tq5_header_c_check(void) {
  RoleNameId role;
  uint32_t length = sizeof role.name;
  GetTQ5ORVCacheErrorMessage(CACHE_OK, role.name, &length);
  return USER_ROLES_CURRENT == 1 ? CACHE_OK : CACHE_E_CORRUPTED;
}
