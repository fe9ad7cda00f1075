// The objects beside the region on Windows (the statistics, the user index): paging-file
// sections with the region's security. Each ends with its last handle, so nothing removes
// its name; a client's kept handle keeps it alive across a server's restart, and the
// next server opens the same object and writes it afresh (or, when it is too small for
// the new server, does without it).
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/win32/global_mutex_win32.h"
#include "platform/win32/object_security_win32.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

struct SideObject {
  HANDLE handle;
  void* view;
};

namespace {

// While there is no object a client looks again at most this often: a hit must not pay
// a failed open at every call.
constexpr ULONGLONG kLookAgainMs = 1000;

// Maps the whole section; null when it is smaller than `size`.
void* MapAtLeast(HANDLE handle, std::size_t size, std::size_t* mapped) {
  void* base = MapViewOfFile(handle, FILE_MAP_WRITE, 0, 0, 0);
  if (base == nullptr) return nullptr;
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(base, &info, sizeof info) != sizeof info || info.BaseAddress != base ||
      info.RegionSize < size) {
    UnmapViewOfFile(base);
    return nullptr;
  }
  *mapped = info.RegionSize;
  return base;
}

}  // namespace

ResultCode CreateSideObject(SideObjectKind kind, uint32_t size, SideObject** out, void** view,
                            const ObjectAccess& access) {
  *out = nullptr;
  *view = nullptr;
  win32::SecurityAttributes security;
  const ResultCode built = security.ForObject(access, win32::kSectionRights);
  if (built != CACHE_OK) return built;
  // One that clients still hold is opened by the same call, and used again.
  const HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0,
                                           size, ObjectName(SideObjectBaseName(kind)).c_str());
  if (handle == nullptr) return CACHE_E_CREATE_MAPPING;
  std::size_t mapped = 0;
  void* base = MapAtLeast(handle, size, &mapped);
  if (base == nullptr) {
    CloseHandle(handle);
    return CACHE_E_CREATE_MAPPING;
  }
  auto* object = new (std::nothrow) SideObject{handle, base};
  if (object == nullptr) {
    UnmapViewOfFile(base);
    CloseHandle(handle);
    return CACHE_E_NO_MEMORY;
  }
  *out = object;
  *view = base;
  return CACHE_OK;
}

void CloseSideObject(SideObject* object) {
  if (object == nullptr) return;
  UnmapViewOfFile(object->view);
  CloseHandle(object->handle);
  delete object;
}

void* SideObjectView(GlobalMutex* guard, SideObjectKind kind, uint32_t size, std::size_t* mapped) {
  if (guard == nullptr) return nullptr;
  KeptSideObject& kept = SideObjectKeptBy(guard, kind);
  if (kept.view != nullptr) {
    if (kept.size < size) return nullptr;
    if (mapped != nullptr) *mapped = kept.size;
    return kept.view;
  }
  // The tick count is read from memory the system keeps mapped: no call into the kernel.
  const ULONGLONG now = GetTickCount64();
  if (now < kept.nextLook) return nullptr;
  kept.nextLook = now + kLookAgainMs;
  const HANDLE handle =
      OpenFileMappingA(FILE_MAP_WRITE, FALSE, ObjectName(SideObjectBaseName(kind)).c_str());
  if (handle == nullptr) return nullptr;
  std::size_t bytes = 0;
  void* base = MapAtLeast(handle, size, &bytes);
  if (base == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  kept.handle = handle;
  kept.view = base;
  kept.size = bytes;
  if (mapped != nullptr) *mapped = bytes;
  return base;
}

void ReleaseKeptSideObject(KeptSideObject* kept) {
  if (kept->view != nullptr) UnmapViewOfFile(kept->view);
  if (kept->handle != nullptr) CloseHandle(kept->handle);
  *kept = KeptSideObject{};
}

// A section ends with its last handle: a crashed server leaves none behind.

}  // namespace tq5::platform
