// The cache file's write path on Windows: handles, FlushFileBuffers, a move that
// writes through.
#include <string>

#include "platform/platform.h"
#include "platform/win32/object_security_win32.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {
namespace {

HANDLE Handle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle CreateForWriting(const char* path, const ObjectAccess& access) {
  // Always a new file: a name that is taken already (by a file or a link that someone
  // else put there) is refused, and a restricted file gets its own DACL.
  SECURITY_ATTRIBUTES* attributes = nullptr;
  win32::SecurityAttributes security;
  if (access.restricted) {
    if (security.ForRestrictedFile(access) != CACHE_OK) return kNoFile;
    attributes = security.get();
  }
  const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, attributes, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

bool WriteAll(FileHandle file, const void* bytes, std::size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(Handle(file), at, chunk, &written, nullptr) || written == 0) return false;
    at += written;
    size -= written;
  }
  return true;
}

bool SyncHandle(FileHandle file) { return FlushFileBuffers(Handle(file)) != 0; }

bool CloseFileHandle(FileHandle file) { return CloseHandle(Handle(file)) != 0; }

bool RenameOver(const char* from, const char* to) {
  // A plain rename fails when `to` exists; WRITE_THROUGH returns only once the move is
  // on the disk.
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// The move wrote through already.
bool SyncFolder(const char*) { return true; }

bool ReadAll(FileHandle file, void* bytes, std::size_t size, std::size_t* got) {
  char* at = static_cast<char*>(bytes);
  *got = 0;
  while (*got < size) {
    const std::size_t left = size - *got;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!ReadFile(Handle(file), at + *got, chunk, &n, nullptr)) return false;
    if (n == 0) break;
    *got += n;
  }
  return true;
}

bool RemovePath(const char* path) { return DeleteFileA(path) != 0; }

constexpr FileCalls kSystemCalls = {CreateForWriting, WriteAll,   SyncHandle, CloseFileHandle,
                                    RenameOver,       SyncFolder, ReadAll,    RemovePath};

}  // namespace

const FileCalls& SystemFileCalls() { return kSystemCalls; }

const FileCallNames kFileCallNames = {"CreateFileA", "WriteFile",   "FlushFileBuffers",
                                      "CloseHandle", "MoveFileExA", "(folder sync)",
                                      "ReadFile",    "DeleteFileA"};

bool NameTakenError(long systemError) {
  return systemError == ERROR_FILE_EXISTS || systemError == ERROR_ALREADY_EXISTS;
}

FileOpen OpenRegularFileForReading(const std::string& path, FileHandle* out, uint64_t* size,
                                   std::string* why) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (why) *why = "CreateFileA(" + path + "): " + SystemErrorText(static_cast<long>(error));
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileOpen::Missing
                                                                          : FileOpen::Failed;
  }
  LARGE_INTEGER bytes{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &bytes)) {
    CloseHandle(file);
    if (why) *why = "it is a pipe or a device, not a regular file";
    return FileOpen::NotRegular;
  }
  *out = reinterpret_cast<FileHandle>(file);
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return FileOpen::Opened;
}

void CloseFileForReading(FileHandle file) { CloseHandle(Handle(file)); }

bool ListFolder(const std::string& folder, std::vector<std::string>* names) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  try {
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileA(search, &found));
  } catch (...) {
    FindClose(search);
    throw;
  }
  FindClose(search);
  return true;
}

}  // namespace tq5::platform
