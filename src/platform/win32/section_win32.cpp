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

Status Wrap(HANDLE handle, Section** out) {
  auto* section = new (std::nothrow) Section{handle};
  if (section == nullptr) {
    CloseHandle(handle);
    return Status::Refused(CACHE_E_NO_MEMORY, "new", "Section", "out of memory");
  }
  *out = section;
  return {};
}

}  // namespace

Status CreateSection(uint32_t size, Section** out, const ObjectAccess& access) {
  *out = nullptr;
  const std::string name = ObjectName(kSectionName);
  win32::SecurityAttributes security;
  const ResultCode built = security.ForObject(access, win32::kSectionRights);
  if (built != CACHE_OK) return Status::Failed(built, "security descriptor", name);
  // A section lives only while some process holds it, and servers create it while they
  // hold the global cache mutex (so no client call holds it then): one that exists
  // already belongs to a live server, and opening it (as the call would) must not lead
  // to writing over that server's cache. One this process may not even open is a live
  // server's as well.
  const HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0,
                                           size, name.c_str());
  if (handle == nullptr) {
    const DWORD error = GetLastError();
    return Status::Failed(access.restricted && error == ERROR_ACCESS_DENIED
                              ? CACHE_E_REGION_EXISTS
                              : CACHE_E_CREATE_MAPPING,
                          "CreateFileMappingA", name, static_cast<long>(error));
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(handle);
    return Status::Refused(CACHE_E_REGION_EXISTS, "CreateFileMappingA", name,
                           "held by a live server");
  }
  return Wrap(handle, out);
}

// A section does not record which process made it.
unsigned long RegionServerProcessId() { return 0; }

// A section ends with its last handle: a crashed server leaves none behind.

Status MapSection(Section* section, void** view, std::size_t* size) {
  *view = nullptr;
  *size = 0;
  void* base = MapViewOfFile(section->handle, FILE_MAP_WRITE, 0, 0, 0);
  if (base == nullptr) {
    return Status::Failed(CACHE_E_MAP_VIEW, "MapViewOfFile", ObjectName(kSectionName));
  }
  // The view covers the whole section, whose size may differ from the one this process
  // asked for (it may have been created by another). A view is one allocation whose pages
  // are all committed read-write, so its region is exactly the usable bytes.
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(base, &info, sizeof info) != sizeof info || info.BaseAddress != base) {
    Status failed = Status::Failed(CACHE_E_MAP_VIEW, "VirtualQuery", ObjectName(kSectionName));
    UnmapViewOfFile(base);
    return failed;
  }
  *view = base;
  *size = info.RegionSize;
  return {};
}

// A section keeps the size it was created with.
Status CheckSectionSize(Section* /*section*/, void* /*view*/, std::size_t /*size*/) { return {}; }

// Nothing can shrink under a view here.
void EnterGuardedCall() {}
void LeaveGuardedCall() {}
bool CallFaulted() { return false; }

Status UnmapSection(Section* /*section*/, void* view, std::size_t /*size*/) {
  if (!UnmapViewOfFile(view)) {
    return Status::Failed(CACHE_E_UNMAP_VIEW, "UnmapViewOfFile", ObjectName(kSectionName));
  }
  return {};
}

Status FlushView(void* view, std::size_t /*size*/) {
  if (!FlushViewOfFile(view, 0)) {  // 0: the whole view
    return Status::Failed(CACHE_E_FLUSH_VIEW, "FlushViewOfFile", ObjectName(kSectionName));
  }
  return {};
}

void CloseSection(Section* section) {
  if (section == nullptr) return;
  CloseHandle(section->handle);
  delete section;
}

// Windows keeps no view between calls: a held handle would keep a dead server's section
// (and its cache) alive. A view is the section opened and mapped for the one call.
struct RegionView {
  Section* section;
  void* base;
  std::size_t size;
};

Status AcquireRegionView(RegionView** out, void** base, std::size_t* size) {
  *out = nullptr;
  // FILE_MAP_WRITE includes reading.
  const std::string name = ObjectName(kSectionName);
  HANDLE handle = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str());
  if (handle == nullptr) return Status::Failed(CACHE_E_OPEN_MAPPING, "OpenFileMappingA", name);
  Section* section = nullptr;
  Status status = Wrap(handle, &section);
  if (!status.ok()) return status;
  status = MapSection(section, base, size);
  auto* view = status.ok() ? new (std::nothrow) RegionView{section, *base, *size} : nullptr;
  if (status.ok() && view == nullptr) {
    UnmapViewOfFile(*base);
    status = Status::Refused(CACHE_E_NO_MEMORY, "new", "RegionView", "out of memory");
  }
  if (!status.ok()) {
    CloseSection(section);
    return status;
  }
  *out = view;
  return {};
}

void ReleaseRegionView(RegionView* view) {
  if (view == nullptr) return;
  UnmapViewOfFile(view->base);
  CloseSection(view->section);
  delete view;
}

}  // namespace tq5::platform
