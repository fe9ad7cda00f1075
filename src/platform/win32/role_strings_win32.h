// The out-arguments of GetUserRolesEx as the fetch worker reads them.
#pragma once

#include <memory>

#include "platform/directory_component.h"
#include "platform/win32/com_api.h"

namespace tq5::platform::win32 {

// Takes over what `variant` holds (it is left empty) and clears it when the result is
// destroyed.
std::unique_ptr<RoleStrings> TakeRoleStrings(VARIANT* variant);

}  // namespace tq5::platform::win32
