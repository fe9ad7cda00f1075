// The COM headers and the directory component's interface, after <windows.h> as this
// folder configures it (the COM headers would otherwise pull it in first, with min/max).
#pragma once

#include "platform/win32/windows_api.h"
// The COM runtime and automation types.
#include <objbase.h>
#include <oleauto.h>
// Generated from orv_authorization.idl.
#include "orv_authorization.h"
