// The shared section on POSIX: a named shm object. Unlike a Windows section, the name
// outlives its handles, so the creator removes it when it closes (the server's
// shut-down), and a creator that finds a leftover of a crashed server replaces it.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace tq5::platform {

struct Section {
  int fd;
  bool creator;
  std::string name;
};

ResultCode CreateSection(uint32_t size, Section** out) {
  const std::string name = ObjectName(kSectionName);
  int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) {
    // The server creates the region while it holds the global cache mutex, so no
    // client is inside a call: an object under the name is a crashed server's leftover.
    shm_unlink(name.c_str());
    fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }
  if (fd < 0) return CACHE_E_CREATE_MAPPING;
  // A new object is empty; ftruncate fills it with zeros. fchmod because of the umask.
  if (fchmod(fd, 0666) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    shm_unlink(name.c_str());
    return CACHE_E_CREATE_MAPPING;
  }
  *out = new Section{fd, true, name};
  return CACHE_OK;
}

ResultCode OpenSection(Section** out) {
  std::string name = ObjectName(kSectionName);
  int fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return CACHE_E_OPEN_MAPPING;
  *out = new Section{fd, false, std::move(name)};
  return CACHE_OK;
}

bool MapSection(Section* section, void** view, std::size_t* size) {
  struct stat st {};
  if (fstat(section->fd, &st) != 0 || st.st_size <= 0) return false;
  void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED,
                 section->fd, 0);
  if (p == MAP_FAILED) return false;
  *view = p;
  *size = static_cast<size_t>(st.st_size);
  return true;
}

bool UnmapSection(Section*, void* view, std::size_t size) { return munmap(view, size) == 0; }

bool FlushView(void* view, std::size_t size) { return msync(view, size, MS_SYNC) == 0; }

void CloseSection(Section* section) {
  if (section->creator) {
    // Remove the name only while it still names our object: a newer server may have
    // replaced it.
    int fd = shm_open(section->name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
      struct stat ours {}, named {};
      if (fstat(section->fd, &ours) == 0 && fstat(fd, &named) == 0 &&
          ours.st_dev == named.st_dev && ours.st_ino == named.st_ino) {
        shm_unlink(section->name.c_str());
      }
      close(fd);
    }
  }
  close(section->fd);
  delete section;
}

}  // namespace tq5::platform
