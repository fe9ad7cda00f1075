#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/win32/object_security_win32.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

// A section backed by the paging file: it is zero-filled when new and disappears with
// its last handle, so nothing has to remove its name.
struct Section {
  HANDLE handle;
};

namespace {

ResultCode Wrap(HANDLE handle, Section** out) {
  auto* section = new (std::nothrow) Section{handle};
  if (section == nullptr) {
    CloseHandle(handle);
    return CACHE_E_NO_MEMORY;
  }
  *out = section;
  return CACHE_OK;
}

}  // namespace

ResultCode CreateSection(uint32_t size, Section** out, GlobalMutex*, const ObjectAccess& access) {
  *out = nullptr;
  const std::string name = ObjectName(kSectionName);
  win32::SecurityAttributes security;
  const ResultCode built = security.ForObject(access, win32::kSectionRights);
  if (built != CACHE_OK) return built;
  // A section lives only while some process holds it, and servers create it while they
  // hold the global cache mutex (so no client call holds it then): one that exists
  // already belongs to a live server, and opening it (as the call would) must not lead
  // to writing over that server's cache. One this process may not even open is a live
  // server's as well.
  const HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0,
                                           size, name.c_str());
  if (handle == nullptr) {
    return access.restricted && GetLastError() == ERROR_ACCESS_DENIED ? CACHE_E_REGION_EXISTS
                                                                      : CACHE_E_CREATE_MAPPING;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(handle);
    return CACHE_E_REGION_EXISTS;
  }
  return Wrap(handle, out);
}

// A section does not record which process made it.
unsigned long RegionServerProcessId() { return 0; }

// A section ends with its last handle: a crashed server leaves none behind.
Leftover RemoveLeftoverSection(GlobalMutex*, std::string*) { return Leftover::None; }

// Windows keeps no view between calls: a held handle would keep a dead server's section
// (and its cache) alive.
ResultCode OpenSection(Section** out, GlobalMutex*) {
  *out = nullptr;
  // FILE_MAP_WRITE includes reading.
  HANDLE handle = OpenFileMappingA(FILE_MAP_WRITE, FALSE, ObjectName(kSectionName).c_str());
  if (handle == nullptr) return CACHE_E_OPEN_MAPPING;
  return Wrap(handle, out);
}

bool MapSection(Section* section, void** view, std::size_t* size) {
  *view = nullptr;
  *size = 0;
  void* base = MapViewOfFile(section->handle, FILE_MAP_WRITE, 0, 0, 0);
  if (base == nullptr) return false;
  // The view covers the whole section, whose size may differ from the one this process
  // asked for (it may have been created by another). A view is one allocation whose pages
  // are all committed read-write, so its region is exactly the usable bytes.
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(base, &info, sizeof info) != sizeof info || info.BaseAddress != base) {
    UnmapViewOfFile(base);
    return false;
  }
  *view = base;
  *size = info.RegionSize;
  return true;
}

bool UnmapSection(Section* /*section*/, void* view, std::size_t /*size*/) {
  return UnmapViewOfFile(view) != 0;
}

bool FlushView(void* view, std::size_t /*size*/) {
  return FlushViewOfFile(view, 0) != 0;  // 0: the whole view
}

void CloseSection(Section* section) {
  if (section == nullptr) return;
  CloseHandle(section->handle);
  delete section;
}

}  // namespace tq5::platform
