// The machine's own user and group database as the directory: the roles of a user are
// the groups that getgrouplist gives for it, each named by its group name and identified
// by its group id in decimal. The database knows no domains, so the domain name is not
// looked at: a user is found by its user name alone, whatever domain the caller gives.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>

#include "platform/posix/directory_providers_posix.h"
#include "platform/status.h"

namespace tq5::platform::posix {
namespace {

// Buffers of the reentrant lookups grow on ERANGE up to this size.
constexpr std::size_t kMaxLookupBuffer = 1 << 20;
// getgrouplist says how many groups there are when the first guess was too small;
// the list can change between calls, so ask only a few times.
constexpr int kGroupListAttempts = 4;

bool PrimaryGroupOf(const std::string& user, gid_t* gid) {
  std::vector<char> buffer(1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int rc = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxLookupBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || !found) return false;
    *gid = entry.pw_gid;
    return true;
  }
}

// The group's name; its id in decimal for a group that the database cannot name.
std::string GroupName(gid_t gid) {
  std::vector<char> buffer(1024);
  for (;;) {
    group entry{};
    group* found = nullptr;
    const int rc = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kMaxLookupBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || !found || !entry.gr_name) return std::to_string(gid);
    return entry.gr_name;
  }
}

bool GroupsOf(const std::string& user, gid_t primary, std::vector<gid_t>* groups) {
  int count = 32;
  for (int attempt = 0; attempt < kGroupListAttempts; ++attempt) {
    groups->resize(static_cast<std::size_t>(count));
    int found = count;
    if (getgrouplist(user.c_str(), primary, groups->data(), &found) >= 0) {
      groups->resize(static_cast<std::size_t>(found));
      return true;
    }
    if (found <= count) found = count * 2;  // no better guess given
    count = found;
  }
  return false;
}

class NssDirectory final : public DirectoryObject {
 public:
  ComponentResult InitializeCache() override { return 0; }

  ComponentResult GetUserRolesEx(const std::wstring& /*domainName*/, const std::wstring& userName,
                                 std::unique_ptr<RoleStrings>* names,
                                 std::unique_ptr<RoleStrings>* ids) override {
    try {
      std::string user;
      gid_t primary = 0;
      std::vector<gid_t> groups;
      if (!Narrow(userName, &user)) return kCallFailed;
      if (!PrimaryGroupOf(user, &primary)) {
        NoteRefused(
            CACHE_E_USER_FETCH_CALL, "getpwnam_r", user,
            "the directory does not know " + user + " (no such account in the user database)");
        return kCallFailed;
      }
      if (!GroupsOf(user, primary, &groups)) {
        NoteRefused(CACHE_E_USER_FETCH_CALL, "getgrouplist", user,
                              "the groups of " + user + " cannot be read");
        return kCallFailed;
      }
      DirectoryArray nameArray;
      DirectoryArray idArray;
      for (gid_t gid : groups) {
        nameArray.elements.push_back(GroupName(gid));
        idArray.elements.push_back(std::to_string(gid));
      }
      *names = std::make_unique<ArrayStrings>(std::move(nameArray));
      *ids = std::make_unique<ArrayStrings>(std::move(idArray));
      return 0;
    } catch (const std::bad_alloc&) {
      return kCallFailed;
    }
  }

  ComponentResult CloseCache() override { return 0; }

  void Release() override { delete this; }

  bool StillChosen() override { return IsChosenDirectory("nss"); }

 private:
  ~NssDirectory() = default;
};

}  // namespace

DirectoryObject* CreateNssDirectory() { return new (std::nothrow) NssDirectory; }

}  // namespace tq5::platform::posix
