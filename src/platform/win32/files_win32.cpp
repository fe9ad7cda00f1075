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
  SECURITY_ATTRIBUTES* attributes = nullptr;
  win32::SecurityAttributes security;
  if (access.restricted) {
    // A new file: an existing one would keep its own DACL.
    if (!DeleteFileA(path) && GetLastError() != ERROR_FILE_NOT_FOUND) return kNoFile;
    if (security.ForRestrictedFile(access) != CACHE_OK) return kNoFile;
    attributes = security.get();
  }
  const HANDLE file =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, attributes,
                  access.restricted ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

constexpr FileCalls kSystemCalls = {CreateForWriting, WriteAll,   SyncHandle,
                                    CloseFileHandle,  RenameOver, SyncFolder};

}  // namespace

const FileCalls& SystemFileCalls() { return kSystemCalls; }

const FileCallNames kFileCallNames = {"CreateFileA", "WriteFile",   "FlushFileBuffers",
                                      "CloseHandle", "MoveFileExA", "(folder sync)"};

}  // namespace tq5::platform
