#include "region/temporary_files.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

namespace tq5::region {
namespace {

constexpr char kPrefix[] = "TQ5";
constexpr char kSuffix[] = ".tmp";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
constexpr std::size_t kSuffixLength = sizeof kSuffix - 1;
constexpr std::size_t kDigits = 8;
constexpr std::size_t kRandomCharacters = 4;
static_assert(kPrefixLength + kDigits + kRandomCharacters + kSuffixLength == kTemporaryNameLength);
// Earlier versions named the file after the writer alone.
constexpr std::size_t kOldNameLength = kPrefixLength + kDigits + kSuffixLength;
// Letters and digits only, one case, so that a name means the same on every file system.
constexpr char kRandomAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
static_assert(sizeof kRandomAlphabet - 1 == 32);
// A name is taken only when someone made a file of it first; a few more tries then find
// a free one unless someone fills the folder with names, which the creation reports.
constexpr int kNameTries = 16;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The writer's process id when `name` is a temporary file's name.
bool WriterOf(const std::string& name, unsigned long* processId) {
  if ((name.size() != kTemporaryNameLength && name.size() != kOldNameLength) ||
      name.compare(0, kPrefixLength, kPrefix) != 0 ||
      name.compare(name.size() - kSuffixLength, std::string::npos, kSuffix) != 0) {
    return false;
  }
  unsigned long id = 0;
  for (std::size_t i = kPrefixLength; i < kPrefixLength + kDigits; ++i) {
    const int digit = HexDigit(name[i]);
    if (digit < 0) return false;
    id = id << 4 | static_cast<unsigned long>(digit);
  }
  if (name.size() == kTemporaryNameLength) {
    for (std::size_t i = kPrefixLength + kDigits; i < kTemporaryNameLength - kSuffixLength; ++i) {
      if (std::string(kRandomAlphabet).find(name[i]) == std::string::npos) return false;
    }
  }
  *processId = id;
  return true;
}

// Twenty bits nobody else can guess: from the system's random source, else from the
// clock (a writer that finds its name taken only tries another).
uint32_t RandomBits() {
  try {
    std::random_device source;
    return source();
  } catch (...) {
    return static_cast<uint32_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
  }
}

std::string TemporaryName() {
  char name[kTemporaryNameLength + 1];
  std::snprintf(name, kPrefixLength + kDigits + 1, "%s%08lX", kPrefix,
                platform::CurrentProcessId() & 0xFFFFFFFFul);
  uint32_t bits = RandomBits();
  for (std::size_t i = 0; i < kRandomCharacters; ++i, bits >>= 5) {
    name[kPrefixLength + kDigits + i] = kRandomAlphabet[bits & 31];
  }
  std::snprintf(name + kPrefixLength + kDigits + kRandomCharacters, kSuffixLength + 1, "%s",
                kSuffix);
  return name;
}

}  // namespace

platform::Status CreateTemporaryFile(const std::string& folder,
                                     const platform::ObjectAccess& access, std::string* path,
                                     platform::FileHandle* file) {
  platform::Status status;
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    *path = folder + TemporaryName();
    status = platform::CreateFileForWriting(*path, access, file);
    if (status.ok() || !platform::NameTakenError(status.failure()->systemError)) return status;
  }
  return status;
}

bool IsTemporaryFileName(const std::string& name) {
  unsigned long writer = 0;
  return WriterOf(name, &writer);
}

void RemoveTemporaryFilesOfDeadWriters(const std::string& folder, TemporaryFileSweep* sweep) {
  namespace fs = std::filesystem;
  const unsigned long self = platform::CurrentProcessId() & 0xFFFFFFFFul;
  std::vector<std::string> names;
  if (!platform::ListFolder(folder, &names)) return;
  for (const std::string& name : names) {
    unsigned long writer = 0;
    if (!WriterOf(name, &writer)) continue;
    bool removed = false;
    // Another thread of this process may be writing its own file just now.
    if (writer != self) {
      const fs::path path = fs::path(folder) / name;
      std::error_code ignored;
      // A link of such a name is no writer's; removing it removes the link alone.
      const fs::file_status status = fs::symlink_status(path, ignored);
      removed = (fs::is_regular_file(status) || fs::is_symlink(status)) &&
                !platform::ProcessExists(writer) && fs::remove(path, ignored);
    }
    if (sweep) (removed ? sweep->removed : sweep->stayed).push_back(name);
  }
}

}  // namespace tq5::region
