// The directory file's parser on arbitrary text, then the answers for the users the text
// names and the complete role list. A file refused as a whole must answer for nobody.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/directory_file.h"

namespace {

using tq5::platform::DirectoryAnswer;
using tq5::platform::DirectoryFile;

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "directory file fuzz: %s\n", what);
  std::abort();
}

// The first two TAB-separated fields of each of the first few lines: the users the text
// would name if it were well formed.
void AskForNamedUsers(const DirectoryFile& file, const std::string& text, bool parsed) {
  std::size_t at = 0;
  for (int line = 0; line < 8 && at < text.size(); ++line) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string row = text.substr(at, end - at);
    at = end + 1;
    const std::size_t tab = row.find('\t');
    if (tab == std::string::npos) continue;
    const std::size_t next = row.find('\t', tab + 1);
    const std::string domain = row.substr(0, tab);
    const std::string user =
        row.substr(tab + 1, next == std::string::npos ? std::string::npos : next - tab - 1);
    const DirectoryAnswer answer = file.AnswerFor(domain, user);
    Check(parsed || !answer.known, "a refused file answered for a user");
    for (const auto* array : {&answer.names, &answer.ids}) {
      for (std::size_t i = 0; i <= array->elements.size(); ++i) array->Readable(i);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  DirectoryFile file;
  std::string error;
  const bool parsed = file.Parse(text, &error);
  Check(parsed || !error.empty(), "a refused file without a reason");
  AskForNamedUsers(file, text, parsed);
  const auto roles = file.AllRoles();
  Check(parsed || roles.empty(), "a refused file listed roles");
  file.InitializeFails(false);
  file.InitializeFails(true);
  return 0;
}
