// The cache file's write path on POSIX: descriptors, fsync of the file and of its
// folder, rename.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/posix/object_access_posix.h"

namespace tq5::platform {
namespace {

FileHandle CreateForWriting(const char* path, const ObjectAccess& access) {
  // Always a file of this process's own making: a name that is taken already (by a file
  // or a link that someone else put there) is refused, and no link is followed.
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  const mode_t mode = access.restricted ? kRestrictedFileMode : 0666;
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

bool ReadAll(FileHandle file, void* bytes, std::size_t size, std::size_t* got) {
  char* at = static_cast<char*>(bytes);
  *got = 0;
  while (*got < size) {
    const ssize_t n = read(static_cast<int>(file), at + *got, size - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

bool RemovePath(const char* path) { return unlink(path) == 0; }

constexpr FileCalls kSystemCalls = {CreateForWriting, WriteAll,   SyncDescriptor, CloseDescriptor,
                                    RenameOver,       SyncFolder, ReadAll,        RemovePath};

}  // namespace

const FileCalls& SystemFileCalls() { return kSystemCalls; }

const FileCallNames kFileCallNames = {"open",   "write", "fsync", "close",
                                      "rename", "fsync", "read",  "unlink"};

bool NameTakenError(long systemError) { return systemError == EEXIST; }

static const char* FileKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISSOCK(mode)) return "a socket";
  return "something else";
}

FileOpen OpenRegularFileForReading(const std::string& path, FileHandle* out, uint64_t* size,
                                   std::string* why) {
  // Without O_NONBLOCK the open of a FIFO waits for a writer.
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  const auto failed = [&](const char* call) {
    const int error = errno;
    if (why) *why = std::string(call) + "(" + path + "): " + SystemErrorText(error);
    return error == ENOENT ? FileOpen::Missing : FileOpen::Failed;
  };
  if (fd < 0) return failed("open");
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const FileOpen result = failed("fstat");
    close(fd);
    return result;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    if (why) *why = std::string("it is ") + FileKind(st.st_mode) + ", not a regular file";
    return FileOpen::NotRegular;
  }
  *out = fd;
  *size = static_cast<uint64_t>(st.st_size);
  return FileOpen::Opened;
}

void CloseFileForReading(FileHandle file) { close(static_cast<int>(file)); }

bool ListFolder(const std::string& folder, std::vector<std::string>* names) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return false;
  try {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names->push_back(name);
    }
  } catch (...) {
    closedir(dir);
    throw;
  }
  closedir(dir);
  return true;
}

}  // namespace tq5::platform
