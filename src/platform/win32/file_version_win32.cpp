#include <algorithm>
#include <string>

#include "platform/file_version.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {
namespace {

// File times count 100 ns units. The system stamps a change with its coarse clock, and
// file systems keep anything from 100 ns to two seconds (FAT): a version is trusted once
// its newest time lies more than two seconds before the moment it was taken.
constexpr int64_t kGranularity = 2 * 10000000;

int64_t Ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

void Fail(const char* call, const std::string& path, std::string* error) {
  if (error) *error = std::string(call) + " " + path + ": error " + std::to_string(GetLastError());
}

bool ReadAll(HANDLE file, uint64_t sizeHint, std::string* text) {
  text->resize(static_cast<std::size_t>(std::min<uint64_t>(sizeHint, 1u << 30)) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == text->size()) text->resize(text->size() * 2);
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(text->size() - used, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(file, &(*text)[used], want, &got, nullptr)) return false;
    if (got == 0) break;
    used += got;
  }
  text->resize(used);
  return true;
}

}  // namespace

FileRead ReadFileIfChanged(const std::string& path, const FileVersion* known, FileVersion* version,
                           std::string* text, std::string* error) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  // Shared in every way, so that the file can be replaced or rewritten while it is read.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("CreateFile", path, error);
    return FileRead::Failed;
  }
  // A pipe in the file's place would make the read wait for ever.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    if (error) *error = "CreateFile " + path + ": not a regular file";
    CloseHandle(file);
    return FileRead::Failed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    Fail("GetFileInformationByHandle", path, error);
    CloseHandle(file);
    return FileRead::Failed;
  }
  version->device = info.dwVolumeSerialNumber;
  version->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  version->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  version->modified = Ticks(info.ftLastWriteTime);
  // The change time also moves when only the attributes change; not every file system
  // keeps one.
  FILE_BASIC_INFO basic{};
  version->changed = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)
                         ? static_cast<int64_t>(basic.ChangeTime.QuadPart)
                         : version->modified;
  version->settled = std::max(version->modified, version->changed) < Ticks(now) - kGranularity;
  if (known && known->settled && known->SameAs(*version)) {
    CloseHandle(file);
    return FileRead::Unchanged;
  }
  const bool read = ReadAll(file, version->size, text);
  if (!read) Fail("ReadFile", path, error);
  CloseHandle(file);
  return read ? FileRead::Read : FileRead::Failed;
}

}  // namespace tq5::platform
