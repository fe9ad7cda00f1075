// The access on POSIX: a group of the machine's group database owns the objects and the
// cache file, which grant nothing to others.
#include "platform/posix/object_access_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace tq5::platform {

namespace {

// Where Linux keeps the shm objects as files, so that their owner and mode can be read
// without opening them (which may be refused).
std::string ObjectPath(const char* baseName) { return "/dev/shm" + ObjectName(baseName); }

std::string GroupNameOf(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

std::string UserNameOf(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

std::string ModeText(mode_t mode) {
  const char* letters = "rwxrwxrwx";
  std::string text(9, '-');
  for (int bit = 0; bit < 9; ++bit) {
    if (mode & (0400 >> bit)) text[static_cast<std::size_t>(bit)] = letters[bit];
  }
  return text;
}

}  // namespace

bool ResolveAccessGroup(const std::string& name, ObjectAccess* access, std::string* why) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  int rc;
  while ((rc = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || !found) {
    *why = "the access setting names the group \"" + name + "\", which " +
           (rc != 0 ? std::string("cannot be looked up: ") + std::strerror(rc)
                    : std::string("the machine's group database does not know"));
    return false;
  }
  access->groupId = found->gr_gid;
  return true;
}

bool ApplyAccess(int fd, const ObjectAccess& access, mode_t mode) {
  if (access.restricted && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(access.groupId))) {
    return false;
  }
  return fchmod(fd, mode) == 0;
}

ObjectPermissions DescribeObject(const char* baseName) {
  ObjectPermissions described;
  const std::string path = ObjectPath(baseName);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    described.exists = errno != ENOENT;  // there, but its folder is closed to this account
    return described;
  }
  described.exists = true;
  described.readable = true;
  described.usable = access(path.c_str(), R_OK | W_OK) == 0;
  described.owner = UserNameOf(st.st_uid);
  described.permissions =
      UserNameOf(st.st_uid) + ":" + GroupNameOf(st.st_gid) + " " + ModeText(st.st_mode & 0777);
  return described;
}

bool ObjectAccessDenied(const char* baseName, std::string* group) {
  group->clear();
  const int fd = shm_open(ObjectName(baseName).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd >= 0) {
    close(fd);
    return false;
  }
  if (errno != EACCES) return false;
  struct stat st {};
  if (stat(ObjectPath(baseName).c_str(), &st) == 0) *group = GroupNameOf(st.st_gid);
  return true;
}

}  // namespace tq5::platform
