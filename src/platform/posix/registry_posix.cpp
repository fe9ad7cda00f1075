// The registry on POSIX: a folder tree under a root folder. A key is a folder, a value is
// a file in its key's folder named after the value and holding one line "type:data"
// (docs/posix-registry.md). Names match without regard to ASCII case, as in the registry.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/status.h"

namespace tq5::platform {

struct RegistryKey {
  std::string path;
  bool writable = false;
};

namespace {

constexpr const char* kDefaultRoot = "/etc/tq5orvcache/registry";
constexpr const char* kRootVariable = "TQ5ORVCACHE_REGISTRY_ROOT";
// A value file is one short line; anything much larger is not one of ours.
constexpr off_t kMaxValueFileSize = 64 * 1024;

std::string Root() {
  const char* root = zv_getenv(kRootVariable);
  return root && *root ? root : kDefaultRoot;
}

// A name that stays inside its folder: not empty, no '/', not "." or "..".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

enum class Found { Yes, No, Denied, Error };

// Finds `name` in `folder`: the exact spelling first, else the first entry that differs
// only in ASCII case. `*path` receives the entry's path and `*st` its status.
Found FindEntry(const std::string& folder, const std::string& name, std::string* path,
                struct stat* st) {
  *path = folder + "/" + name;
  if (stat(path->c_str(), st) == 0) return Found::Yes;
  if (errno == EACCES) return Found::Denied;
  if (errno != ENOENT) return Found::Error;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return errno == EACCES ? Found::Denied : Found::Error;
  Found found = Found::No;
  while (const dirent* entry = readdir(dir)) {
    if (!EqualIgnoringAsciiCase(name, entry->d_name)) continue;
    *path = folder + "/" + entry->d_name;
    if (stat(path->c_str(), st) == 0) {
      found = Found::Yes;
      break;
    }
  }
  closedir(dir);
  return found;
}

// The permission bits decide even for root, whom access() lets through everything: a
// key folder without any write bit is read-only, one without any read bit is closed.
bool Allows(const std::string& path, const struct stat& st, bool fullAccess) {
  const bool readBit = (st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) != 0;
  const bool writeBit = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  if (!readBit || (fullAccess && !writeBit)) return false;
  const int wanted = fullAccess ? (R_OK | W_OK | X_OK) : (R_OK | X_OK);
  return faccessat(AT_FDCWD, path.c_str(), wanted, AT_EACCESS) == 0;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const uint64_t base = hex ? 16 : 10;
  uint64_t value = 0;
  for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = LowerAscii(text[i]);
    uint64_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else {
      return false;
    }
    if (value > (max - digit) / base) return false;
    value = value * base + digit;
  }
  *out = value;
  return true;
}

void AppendLittleEndian(uint64_t value, int bytes, std::vector<unsigned char>* data) {
  for (int i = 0; i < bytes; ++i) data->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// "dword:N", "qword:N" (decimal, or hexadecimal after 0x), "sz:text" or "hex:hh,hh,...";
// the type's name in any case.
bool ParseValueText(std::string text, std::vector<unsigned char>* data) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const std::string type = text.substr(0, colon);
  const std::string rest = text.substr(colon + 1);
  uint64_t number = 0;
  if (EqualIgnoringAsciiCase(type, "dword")) {
    if (!ParseNumber(rest, 0xFFFFFFFFu, &number)) return false;
    AppendLittleEndian(number, 4, data);
  } else if (EqualIgnoringAsciiCase(type, "qword")) {
    if (!ParseNumber(rest, UINT64_MAX, &number)) return false;
    AppendLittleEndian(number, 8, data);
  } else if (EqualIgnoringAsciiCase(type, "sz")) {
    if (rest.find('\0') != std::string::npos) return false;
    data->assign(rest.begin(), rest.end());
    data->push_back(0);
  } else if (EqualIgnoringAsciiCase(type, "hex")) {
    std::size_t at = 0;
    while (at < rest.size()) {
      const std::size_t comma = rest.find(',', at);
      const std::size_t end = comma == std::string::npos ? rest.size() : comma;
      const std::string byte = rest.substr(at, end - at);
      if (byte.empty() || byte.size() > 2 || !ParseNumber("0x" + byte, 0xFF, &number)) {
        return false;
      }
      data->push_back(static_cast<unsigned char>(number));
      if (comma == std::string::npos) break;
      at = comma + 1;
      if (at == rest.size()) return false;  // a trailing comma
    }
  } else {
    return false;
  }
  return true;
}

RegistryStatus ReadValueFile(const std::string& path, std::string* text) {
  // Without O_NONBLOCK the open of a FIFO would wait for a writer; the type is checked
  // before anything is read.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return RegistryStatus::Failed;
  struct stat st {};
  RegistryStatus status = RegistryStatus::Ok;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxValueFileSize) {
    status = RegistryStatus::Failed;
  } else {
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || text->size() + static_cast<std::size_t>(n) > kMaxValueFileSize) {
        status = RegistryStatus::Failed;
        break;
      }
      if (n == 0) break;
      text->append(chunk, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return status;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::atomic<unsigned> tempCounter{0};

// Keeps why a registry call failed as the thread's latest failure, under the code its
// callers report for it; `error` is the errno that says why. Hands `status` back.
RegistryStatus Noted(RegistryStatus status, ResultCode code, const char* call,
                     const std::string& path, int error) {
  if (status != RegistryStatus::Ok && status != RegistryStatus::MoreData) {
    NoteFailed(code, call, path, error);
  }
  return status;
}

}  // namespace

RegistryStatus OpenMachineKey(const std::string& subkey, bool fullAccess, RegistryKey** out) {
  *out = nullptr;
  std::string path = Root();
  const auto failed = [&](RegistryStatus status, const char* call, int error) {
    return Noted(status, CACHE_E_GROUP_KEY_OPEN, call, path, error);
  };
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    const int error = errno;
    return failed(error == ENOENT ? RegistryStatus::NotFound : RegistryStatus::Failed, "stat",
                  error);
  }
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = subkey.find('\\', at);
    const std::string part =
        subkey.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
    if (!IsPlainName(part)) return failed(RegistryStatus::Failed, "key name", EINVAL);
    std::string next;
    const Found found = FindEntry(path, part, &next, &st);
    const int error = errno;
    switch (found) {
      case Found::Yes:
        break;
      case Found::No:
        path = next;
        return failed(RegistryStatus::NotFound, "stat", ENOENT);
      case Found::Denied:
        path = next;
        return failed(RegistryStatus::AccessDenied, "stat", EACCES);
      case Found::Error:
        path = next;
        return failed(RegistryStatus::Failed, "stat", error);
    }
    if (!S_ISDIR(st.st_mode)) {
      path = next;
      return failed(RegistryStatus::NotFound, "opendir", ENOTDIR);
    }
    path = next;
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  if (!Allows(path, st, fullAccess)) {
    return failed(RegistryStatus::AccessDenied, fullAccess ? "open for writing" : "open", EACCES);
  }
  auto* key = new (std::nothrow) RegistryKey;
  if (!key) return failed(RegistryStatus::Failed, "new", ENOMEM);
  key->path = path;
  key->writable = fullAccess;
  *out = key;
  return RegistryStatus::Ok;
}

RegistryStatus QueryValue(RegistryKey* key, const char* name, void* buffer, uint32_t* size) {
  std::string path = key->path + "/" + (name ? name : "");
  const auto failed = [&](RegistryStatus status, const char* call, int error) {
    return Noted(status, CACHE_E_TIMEOUT_KEY_OPEN, call, path, error);
  };
  if (!name || !IsPlainName(name)) return failed(RegistryStatus::Failed, "value name", EINVAL);
  struct stat st {};
  const Found found = FindEntry(key->path, name, &path, &st);
  const int error = errno;
  switch (found) {
    case Found::Yes:
      break;
    case Found::No:
      return failed(RegistryStatus::NotFound, "stat", ENOENT);
    case Found::Denied:
    case Found::Error:
      return failed(RegistryStatus::Failed, "stat", error);
  }
  // A folder of that name is a subkey, not a value.
  if (S_ISDIR(st.st_mode)) return failed(RegistryStatus::NotFound, "open", EISDIR);
  std::string text;
  const RegistryStatus read = ReadValueFile(path, &text);
  if (read != RegistryStatus::Ok) return failed(read, "read", errno);
  std::vector<unsigned char> data;
  if (!ParseValueText(text, &data)) {
    NoteRefused(CACHE_E_TIMEOUT_KEY_OPEN, "parse", path,
                "not \"dword:N\", \"qword:N\", \"sz:text\" or \"hex:hh,...\"");
    return RegistryStatus::Failed;
  }
  if (data.size() > *size) {
    *size = static_cast<uint32_t>(data.size());
    return RegistryStatus::MoreData;
  }
  if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
  *size = static_cast<uint32_t>(data.size());
  return RegistryStatus::Ok;
}

RegistryStatus SetDwordValue(RegistryKey* key, const char* name, uint32_t value) {
  std::string target = key->path + "/" + (name ? name : "");
  const auto failed = [&](RegistryStatus status, const char* call, int error) {
    return Noted(status, CACHE_E_TIMEOUT_KEY_CREATE, call, target, error);
  };
  if (!key->writable) return failed(RegistryStatus::AccessDenied, "write", EBADF);
  if (!name || !IsPlainName(name)) return failed(RegistryStatus::Failed, "value name", EINVAL);
  struct stat st {};
  const Found found = FindEntry(key->path, name, &target, &st);
  const int error = errno;
  switch (found) {
    case Found::Yes:
      if (!S_ISREG(st.st_mode)) return failed(RegistryStatus::Failed, "open", EISDIR);
      break;
    case Found::No:
      target = key->path + "/" + name;
      break;
    case Found::Denied:
      return failed(RegistryStatus::AccessDenied, "stat", EACCES);
    case Found::Error:
      return failed(RegistryStatus::Failed, "stat", error);
  }
  // Write beside it and rename over it, so that a reader sees the old value or the new
  // one, never half a line.
  const std::string temp = key->path + "/." + name + ".tmp." + std::to_string(getpid()) + "." +
                           std::to_string(tempCounter.fetch_add(1));
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    return Noted(error == EACCES ? RegistryStatus::AccessDenied : RegistryStatus::Failed,
                 CACHE_E_TIMEOUT_KEY_CREATE, "open", temp, error);
  }
  const char* step = nullptr;
  if (!WriteAll(fd, "dword:" + std::to_string(value) + "\n")) {
    step = "write";
  } else if (fsync(fd) != 0) {
    step = "fsync";
  }
  int reason = errno;
  if (close(fd) != 0 && !step) {
    step = "close";
    reason = errno;
  }
  if (!step && std::rename(temp.c_str(), target.c_str()) != 0) {
    step = "rename";
    reason = errno;
  }
  if (step) {
    unlink(temp.c_str());
    return Noted(RegistryStatus::Failed, CACHE_E_TIMEOUT_KEY_CREATE, step, temp, reason);
  }
  return RegistryStatus::Ok;
}

void CloseKey(RegistryKey* key) { delete key; }

std::string MachineKeyPath(const std::string& subkey) {
  std::string path = Root() + "/" + subkey;
  for (std::size_t at = path.size() - subkey.size(); at < path.size(); ++at) {
    if (path[at] == '\\') path[at] = '/';
  }
  return path;
}

const char* const kMachineKeyKind = "folder";
const char kMachineKeySeparator = '/';

}  // namespace tq5::platform
