#include "region/temporary_files.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace tq5::region {
namespace {

constexpr char kPrefix[] = "TQ5";
constexpr char kSuffix[] = ".tmp";
constexpr std::size_t kDigits = 8;
constexpr std::size_t kNameLength = sizeof kPrefix - 1 + kDigits + sizeof kSuffix - 1;
static_assert(kNameLength == kTemporaryNameLength);

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The writer's process id when `name` is a temporary file's name.
bool WriterOf(const std::string& name, unsigned long* processId) {
  if (name.size() != kNameLength || name.compare(0, sizeof kPrefix - 1, kPrefix) != 0 ||
      name.compare(kNameLength - (sizeof kSuffix - 1), std::string::npos, kSuffix) != 0) {
    return false;
  }
  unsigned long id = 0;
  for (std::size_t i = sizeof kPrefix - 1; i < sizeof kPrefix - 1 + kDigits; ++i) {
    const int digit = HexDigit(name[i]);
    if (digit < 0) return false;
    id = id << 4 | static_cast<unsigned long>(digit);
  }
  *processId = id;
  return true;
}

}  // namespace

std::string TemporaryFileOfThisProcess(const std::string& folder) {
  char name[kNameLength + 1];
  std::snprintf(name, sizeof name, "%s%08lX%s", kPrefix,
                platform::CurrentProcessId() & 0xFFFFFFFFul, kSuffix);
  return folder + name;
}

void RemoveTemporaryFilesOfDeadWriters(const std::string& folder) {
  namespace fs = std::filesystem;
  const unsigned long self = platform::CurrentProcessId() & 0xFFFFFFFFul;
  std::error_code error;
  fs::directory_iterator entry(fs::path(folder), error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    unsigned long writer = 0;
    // This process's own file belongs to the write that is about to reuse it.
    if (!WriterOf(entry->path().filename().string(), &writer) || writer == self) continue;
    std::error_code ignored;
    if (!entry->is_regular_file(ignored) || platform::ProcessExists(writer)) continue;
    fs::remove(entry->path(), ignored);
  }
}

}  // namespace tq5::region
