#include "platform/posix/shared_object_posix.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/fault_guard_posix.h"
#include "platform/posix/object_access_posix.h"

namespace tq5::platform {

namespace {

void* MapShared(std::size_t size, int fd) {
  return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
}

constexpr SharedMemoryCalls kSystemCalls = {shm_open, shm_unlink, ftruncate,
                                            fstat,    MapShared,  munmap};
SharedMemoryCalls calls = kSystemCalls;

}  // namespace

const SharedMemoryCalls& SharedMemory() { return calls; }

SharedMemoryCalls ReplaceSharedMemoryCalls(const SharedMemoryCalls& replacement) {
  const SharedMemoryCalls replaced = calls;
  calls = replacement;
  return replaced;
}

Status CreateSharedObject(const std::string& name, off_t size, const ObjectAccess& access,
                          ResultCode code, RefuseSquatter squatted, int* fdOut, bool* exists) {
  if (exists) *exists = false;
  const mode_t mode = ObjectMode(access);
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
  int fd = calls.open(name.c_str(), flags, mode);
  if (fd < 0 && errno == EEXIST) {
    if (!squatted) {
      if (exists) *exists = true;
      return Status::Answer(code);
    }
    // A leftover, or an object another process put there: replaced, never used.
    if (calls.unlink(name.c_str()) != 0 && errno != ENOENT) return squatted(name);
    fd = calls.open(name.c_str(), flags, mode);
  }
  if (fd < 0) return Status::Failed(code, "shm_open", name);
  // A new object is empty; ftruncate fills it with zeros. The explicit mode because of
  // the umask.
  Status status;
  if (!ApplyAccess(fd, access, mode)) {
    status = Status::Failed(code, access.restricted ? "fchown" : "fchmod", name);
  } else if (calls.truncate(fd, size) != 0) {
    status = Status::Failed(code, "ftruncate", name);
  }
  if (!status.ok()) {
    close(fd);
    calls.unlink(name.c_str());
    return status;
  }
  *fdOut = fd;
  return {};
}

Status MapSharedObject(int fd, const std::string& name, ResultCode code, std::size_t atLeast,
                       void** view, std::size_t* size) {
  struct stat st {};
  if (calls.stat(fd, &st) != 0) return Status::Failed(code, "fstat", name);
  if (st.st_size <= 0) return Status::Refused(code, "mmap", name, "the object is empty");
  const auto bytes = static_cast<std::size_t>(st.st_size);
  if (bytes < atLeast) {
    return Status::Refused(code, "mmap", name,
                           "the object holds " + std::to_string(bytes) + " bytes, fewer than " +
                               std::to_string(atLeast));
  }
  void* p = calls.map(bytes, fd);
  if (p == MAP_FAILED) return Status::Failed(code, "mmap", name);
  RegisterMapping(p, bytes);
  *view = p;
  *size = bytes;
  return {};
}

Leftover UnlinkLeftover(const std::string& name, std::string* detail) {
  if (calls.unlink(name.c_str()) == 0) return Leftover::Removed;
  if (errno == ENOENT) return Leftover::None;
  *detail = SystemErrorText(errno);
  return Leftover::Failed;
}

}  // namespace tq5::platform
