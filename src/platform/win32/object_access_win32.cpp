// The access on Windows: a local or domain group, found by name or given as a SID, is
// the only account besides SYSTEM and Administrators in the objects' DACLs.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/object_access.h"
#include "platform/platform.h"
#include "platform/settings.h"
#include "platform/win32/object_security_win32.h"
#include "platform/win32/windows_api.h"
// After windows.h.
#include <aclapi.h>
#include <sddl.h>

namespace tq5::platform {

namespace win32 {

namespace {

// A SID held in its own bytes.
struct SidBytes {
  std::vector<unsigned char> bytes;
  PSID get() { return bytes.empty() ? nullptr : bytes.data(); }
};

bool WellKnown(WELL_KNOWN_SID_TYPE type, SidBytes* sid) {
  DWORD size = SECURITY_MAX_SID_SIZE;
  sid->bytes.assign(size, 0);
  if (!CreateWellKnownSid(type, nullptr, sid->get(), &size)) return false;
  sid->bytes.resize(size);
  return true;
}

bool ProcessUser(SidBytes* sid) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size ? size : 1);
  const bool ok = size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
  CloseHandle(token);
  if (!ok) return false;
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (!IsValidSid(user)) return false;
  const auto* first = static_cast<const unsigned char*>(user);
  sid->bytes.assign(first, first + GetLengthSid(user));
  return true;
}

bool GroupSid(const ObjectAccess& access, SidBytes* sid) {
  sid->bytes.assign(access.groupSid.begin(), access.groupSid.end());
  return !sid->bytes.empty() && IsValidSid(sid->get());
}

}  // namespace

SecurityAttributes::~SecurityAttributes() {
  if (acl_) LocalFree(acl_);
  if (descriptor_) LocalFree(descriptor_);
}

ResultCode SecurityAttributes::Build(const Entry* entries, int count) {
  descriptor_ = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (descriptor_ == nullptr) return CACHE_E_NO_MEMORY;
  if (!InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION)) {
    return CACHE_E_SECURITY_DESCRIPTOR;
  }
  PACL acl = nullptr;
  if (count > 0) {
    DWORD size = sizeof(ACL);
    for (int i = 0; i < count; ++i) {
      size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(entries[i].sid);
    }
    acl_ = static_cast<PACL>(LocalAlloc(LPTR, size));
    if (acl_ == nullptr) return CACHE_E_NO_MEMORY;
    if (!InitializeAcl(acl_, size, ACL_REVISION)) return CACHE_E_SECURITY_DACL;
    for (int i = 0; i < count; ++i) {
      if (!AddAccessAllowedAce(acl_, ACL_REVISION, entries[i].rights, entries[i].sid)) {
        return CACHE_E_SECURITY_DACL;
      }
    }
    acl = acl_;
  }
  // No entries: a null DACL, which denies nobody anything.
  if (!SetSecurityDescriptorDacl(descriptor_, TRUE, acl, FALSE)) return CACHE_E_SECURITY_DACL;
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor_;
  attributes_.bInheritHandle = FALSE;
  return CACHE_OK;
}

ResultCode SecurityAttributes::ForObject(const ObjectAccess& access, DWORD rights) {
  if (!access.restricted) return Build(nullptr, 0);
  SidBytes system, administrators, group;
  if (!WellKnown(WinLocalSystemSid, &system) ||
      !WellKnown(WinBuiltinAdministratorsSid, &administrators) || !GroupSid(access, &group)) {
    return CACHE_E_SECURITY_DESCRIPTOR;
  }
  const Entry entries[] = {
      {system.get(), rights}, {administrators.get(), rights}, {group.get(), rights}};
  return Build(entries, 3);
}

ResultCode SecurityAttributes::ForRestrictedFile(const ObjectAccess& access) {
  SidBytes system, administrators, self, group;
  if (!WellKnown(WinLocalSystemSid, &system) ||
      !WellKnown(WinBuiltinAdministratorsSid, &administrators) || !ProcessUser(&self) ||
      !GroupSid(access, &group)) {
    return CACHE_E_SECURITY_DESCRIPTOR;
  }
  const Entry entries[] = {{system.get(), FILE_ALL_ACCESS},
                           {administrators.get(), FILE_ALL_ACCESS},
                           {self.get(), FILE_ALL_ACCESS},
                           {group.get(), FILE_GENERIC_READ}};
  return Build(entries, 4);
}

}  // namespace win32

namespace {

bool IsGroupUse(SID_NAME_USE use) {
  return use == SidTypeGroup || use == SidTypeAlias || use == SidTypeWellKnownGroup;
}

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "?";
  std::string result = text;
  LocalFree(text);
  return result;
}

// "DOMAIN\name" of a SID, or its S-1-... form when it has no name here.
std::string AccountName(PSID sid) {
  char name[256], domain[256];
  DWORD nameSize = sizeof name, domainSize = sizeof domain;
  SID_NAME_USE use;
  if (!LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    return SidText(sid);
  }
  return *domain ? std::string(domain) + "\\" + name : std::string(name);
}

HANDLE OpenForReading(const char* baseName) {
  const std::string name = ObjectName(baseName);
  return std::strcmp(baseName, kCacheMutexName) == 0
             ? OpenMutexA(READ_CONTROL, FALSE, name.c_str())
             : OpenFileMappingA(READ_CONTROL, FALSE, name.c_str());
}

HANDLE OpenForUse(const char* baseName) {
  const std::string name = ObjectName(baseName);
  return std::strcmp(baseName, kCacheMutexName) == 0
             ? OpenMutexA(SYNCHRONIZE, FALSE, name.c_str())
             : OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str());
}

}  // namespace

bool ResolveAccessGroup(const std::string& name, ObjectAccess* access, std::string* why) {
  std::vector<unsigned char> sid;
  if (name.size() > 4 && (name.compare(0, 4, "S-1-") == 0 || name.compare(0, 4, "s-1-") == 0)) {
    // Only the S-1-... form of one SID is converted, and the result checked.
    PSID converted = nullptr;
    if (!ConvertStringSidToSidA(name.c_str(), &converted) || !IsValidSid(converted)) {
      if (converted) LocalFree(converted);
      *why = "the access setting names the SID \"" + name + "\", which is not a valid SID";
      return false;
    }
    const auto* first = static_cast<const unsigned char*>(converted);
    sid.assign(first, first + GetLengthSid(converted));
    LocalFree(converted);
  } else {
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameA(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    sid.assign(sidSize ? sidSize : 1, 0);
    std::vector<char> domain(domainSize ? domainSize : 1);
    if (sidSize == 0 || !LookupAccountNameA(nullptr, name.c_str(), sid.data(), &sidSize,
                                            domain.data(), &domainSize, &use)) {
      *why = "the access setting names the group \"" + name +
             "\", which is not an account of this machine or its domain (error " +
             std::to_string(GetLastError()) + ")";
      return false;
    }
    if (!IsGroupUse(use)) {
      *why = "the access setting names \"" + name + "\", which is an account but not a group";
      return false;
    }
    sid.resize(sidSize);
  }
  access->groupSid.assign(sid.begin(), sid.end());
  return true;
}

ObjectPermissions DescribeObject(const char* baseName) {
  ObjectPermissions described;
  if (const HANDLE used = OpenForUse(baseName)) {
    described.usable = true;
    CloseHandle(used);
  }
  const HANDLE handle = OpenForReading(baseName);
  if (handle == nullptr) {
    described.exists = described.usable || GetLastError() == ERROR_ACCESS_DENIED;
    return described;
  }
  described.exists = true;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
    described.readable = true;
    described.owner = owner ? AccountName(owner) : "none";
    if (dacl == nullptr) {
      described.permissions = "everyone (no access list)";
    } else {
      for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        char mask[16];
        std::snprintf(mask, sizeof mask, "0x%lx", static_cast<unsigned long>(allowed->Mask));
        if (!described.permissions.empty()) described.permissions += "; ";
        described.permissions += AccountName(const_cast<DWORD*>(&allowed->SidStart)) + " " + mask;
      }
      if (described.permissions.empty()) described.permissions = "nobody (empty access list)";
    }
    described.permissions = "owner " + described.owner + "; " + described.permissions;
    LocalFree(descriptor);
  }
  CloseHandle(handle);
  return described;
}

bool ObjectAccessDenied(const char* baseName, std::string* group) {
  group->clear();
  const HANDLE handle = OpenForUse(baseName);
  if (handle != nullptr) {
    CloseHandle(handle);
    return false;
  }
  if (GetLastError() != ERROR_ACCESS_DENIED) return false;
  // A refused process cannot read the DACL; the machine's setting names the group.
  if (!AccessGroupOf(ReadSetting(kAccessSetting).value, group)) group->clear();
  return true;
}

namespace {

// The accounts that may write the cache folder: this process's own, the system, the
// administrators and the installer service. CREATOR OWNER entries only pass themselves
// on to what is created inside.
bool TrustedWriter(PSID sid) {
  win32::SidBytes self, system, administrators, creator;
  if (win32::ProcessUser(&self) && EqualSid(sid, self.get())) return true;
  if (win32::WellKnown(WinLocalSystemSid, &system) && EqualSid(sid, system.get())) return true;
  if (win32::WellKnown(WinBuiltinAdministratorsSid, &administrators) &&
      EqualSid(sid, administrators.get())) {
    return true;
  }
  if (win32::WellKnown(WinCreatorOwnerSid, &creator) && EqualSid(sid, creator.get())) return true;
  return SidText(sid) == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
}

// Rights that let an account put, rename or remove files in a folder, or take the
// folder's access list into its own hands.
constexpr DWORD kFolderWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                     WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

}  // namespace

bool FolderWritableByOthers(const std::string& folder, std::string* who) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                            &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    // Nothing can be put in a folder that is not there; what needs it fails on its own.
    who->clear();
    return false;
  }
  if (error != ERROR_SUCCESS) {
    *who = folder + ": GetNamedSecurityInfo failed (error " + std::to_string(error) +
           "); who may write it cannot be told";
    return true;
  }
  who->clear();
  if (owner && !TrustedWriter(owner)) {
    *who = folder + " belongs to " + AccountName(owner);
  } else if (!dacl) {
    *who = folder + " has no access list: every account may write it";
  } else {
    // Deny entries are not weighed: an allow entry for another account is reason enough.
    for (DWORD i = 0; i < dacl->AceCount && who->empty(); ++i) {
      void* ace = nullptr;
      if (!GetAce(dacl, i, &ace)) continue;
      const auto* header = static_cast<const ACE_HEADER*>(ace);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
        continue;
      }
      const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
      PSID sid = const_cast<DWORD*>(&allowed->SidStart);
      if ((allowed->Mask & kFolderWriteRights) != 0 && !TrustedWriter(sid)) {
        *who = folder + " may be written by " + AccountName(sid);
      }
    }
  }
  LocalFree(descriptor);
  return !who->empty();
}

}  // namespace tq5::platform
