// The cache file's write path on POSIX: descriptors, fsync of the file and of its
// folder, rename.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/posix/object_access_posix.h"

namespace tq5::platform {
namespace {

FileHandle CreateForWriting(const char* path, const ObjectAccess& access) {
  int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  mode_t mode = 0666;
  if (access.restricted) {
    // A file of that name may be open to others, and whoever holds it open would read
    // what is written into it: a new file, never open to more than the group.
    if (unlink(path) != 0 && errno != ENOENT) return kNoFile;
    flags |= O_EXCL;
    mode = kRestrictedFileMode;
  }
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kNoFile;
  if (access.restricted && !ApplyAccess(fd, access, mode)) {
    const int reason = errno;
    close(fd);
    unlink(path);
    errno = reason;
    return kNoFile;
  }
  return fd;
}

bool WriteAll(FileHandle file, const void* bytes, std::size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = write(static_cast<int>(file), at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // nothing written, and no error said why
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SyncDescriptor(FileHandle file) { return fsync(static_cast<int>(file)) == 0; }

// Linux closes the descriptor even when close() reports EINTR; closing again could
// close a descriptor another thread has just been given.
bool CloseDescriptor(FileHandle file) {
  return close(static_cast<int>(file)) == 0 || errno == EINTR;
}

bool RenameOver(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool SyncFolder(const char* folder) {
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;  // a folder this process may enter but not read
  // Some file systems cannot sync a folder at all; they say so with EINVAL.
  const bool synced = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return synced;
}

constexpr FileCalls kSystemCalls = {CreateForWriting, WriteAll,   SyncDescriptor,
                                    CloseDescriptor,  RenameOver, SyncFolder};

}  // namespace

const FileCalls& SystemFileCalls() { return kSystemCalls; }

const FileCallNames kFileCallNames = {"open", "write", "fsync", "close", "rename", "fsync"};

}  // namespace tq5::platform
