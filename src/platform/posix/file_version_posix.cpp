#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/file_version.h"
#include "platform/status.h"

namespace tq5::platform {
namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

int64_t Nanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * kNanosecondsPerSecond + time.tv_nsec;
}

void Fail(const char* call, const std::string& path, std::string* error) {
  if (error) *error = std::string(call) + " " + path + ": " + SystemErrorText(errno);
}

// The kernel stamps a change with its coarse clock, never earlier than the coarse time a
// reader saw before; so a file whose newest time is before `now` (taken before the
// fstat) gets a newer one from any later change. File systems that keep whole seconds
// (no nanoseconds at all) round down, FAT to two seconds: those need two seconds more.
bool Settled(const FileVersion& version, int64_t now) {
  const int64_t newest = std::max(version.modified, version.changed);
  const int64_t granularity = newest % kNanosecondsPerSecond == 0 ? 2 * kNanosecondsPerSecond : 0;
  return newest < now - granularity;
}

bool ReadAll(int fd, uint64_t sizeHint, std::string* text) {
  // One byte more than the size, so that the read that finds the end needs no growth.
  text->resize(static_cast<std::size_t>(std::min<uint64_t>(sizeHint, 1u << 30)) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == text->size()) text->resize(text->size() * 2);
    const ssize_t got = read(fd, &(*text)[used], text->size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  text->resize(used);
  return true;
}

}  // namespace

FileRead ReadFileIfChanged(const std::string& path, const FileVersion* known, FileVersion* version,
                           std::string* text, std::string* error) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  // A FIFO or a device in the file's place would make the read wait or go on for ever:
  // it is opened without waiting and refused before a byte is read.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail("open", path, error);
    return FileRead::Failed;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    Fail("fstat", path, error);
    close(fd);
    return FileRead::Failed;
  }
  if (!S_ISREG(info.st_mode)) {
    if (error) *error = "open " + path + ": not a regular file";
    close(fd);
    return FileRead::Failed;
  }
  version->device = static_cast<uint64_t>(info.st_dev);
  version->file = static_cast<uint64_t>(info.st_ino);
  version->size = static_cast<uint64_t>(info.st_size);
  version->modified = Nanoseconds(info.st_mtim);
  version->changed = Nanoseconds(info.st_ctim);
  version->settled = Settled(*version, Nanoseconds(now));
  if (known && known->settled && known->SameAs(*version)) {
    close(fd);
    return FileRead::Unchanged;
  }
  const bool read = ReadAll(fd, version->size, text);
  if (!read) Fail("read", path, error);
  close(fd);
  return read ? FileRead::Read : FileRead::Failed;
}

}  // namespace tq5::platform
