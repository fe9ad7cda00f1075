// The access on POSIX: a group of the machine's group database owns the objects and the
// cache file, which grant nothing to others.
#include "platform/posix/object_access_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <climits>
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
           (rc != 0 ? std::string("cannot be looked up: ") + SystemErrorText(rc)
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

namespace {

// Whether the group `gid` holds no account but this process's own and root: its own
// primary group or root's, with no other listed member. Accounts that have the group as
// their primary group without being listed cannot be told without reading the whole
// account database; only these two groups are trusted for that reason.
bool GroupHoldsOnlyUs(gid_t gid) {
  if (gid != 0 && gid != getegid()) return false;
  std::vector<char> buffer(65536);
  group entry{};
  group* found = nullptr;
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  const std::string self = UserNameOf(geteuid());
  for (char** member = found->gr_mem; member && *member; ++member) {
    if (self != *member && std::strcmp(*member, "root") != 0) return false;
  }
  return true;
}

// Who besides this process's account and root may add, rename or remove entries in the
// folder `path` whose status is `st`; empty when nobody. With `sticky` a folder whose
// sticky bit is set counts as closed to the others' writes: they cannot rename or remove
// what they do not own (the folders above the cache folder, /tmp among them).
std::string OtherWriters(const std::string& path, const struct stat& st, bool sticky) {
  const std::string owner = UserNameOf(st.st_uid);
  const std::string what = path + " (" + owner + ":" + GroupNameOf(st.st_gid) + " " +
                           ModeText(st.st_mode & 0777) + (st.st_mode & S_ISVTX ? " sticky" : "") +
                           ")";
  if (st.st_uid != geteuid() && st.st_uid != 0) return what + " belongs to " + owner;
  if (sticky && (st.st_mode & S_ISVTX)) return "";
  if (st.st_mode & S_IWOTH) return what + " may be written by every account";
  if (st.st_mode & S_IWGRP) {
    // With an access list the group bits are its mask: some named account may write.
    if (getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0) {
      return what + " has an access list that lets other accounts write";
    }
    if (!GroupHoldsOnlyUs(st.st_gid)) {
      return what + " may be written by the members of group " + GroupNameOf(st.st_gid);
    }
  }
  return "";
}

}  // namespace

bool FolderWritableByOthers(const std::string& folder, std::string* who) {
  char real[PATH_MAX];
  struct stat st {};
  if (!realpath(folder.c_str(), real) || stat(real, &st) != 0) {
    // Nothing can be put in a folder that is not there; what needs it fails on its own.
    if (errno == ENOENT || errno == ENOTDIR) return false;
    *who = folder + ": " + SystemErrorText(errno) + "; who may write it cannot be told";
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    *who = folder + " is not a folder";
    return true;
  }
  *who = OtherWriters(real, st, false);
  // Whoever may replace a folder above it may replace the cache folder with one of their
  // own.
  for (std::string above = real; who->empty() && above != "/";) {
    above = above.substr(0, above.find_last_of('/'));
    if (above.empty()) above = "/";
    if (stat(above.c_str(), &st) != 0) {
      *who = above + ": " + SystemErrorText(errno) + "; who may write it cannot be told";
      break;
    }
    *who = OtherWriters(above, st, true);
  }
  return !who->empty();
}

}  // namespace tq5::platform
