// The table of file calls in use: the system's, unless a test has put others in place.
#include "platform/platform.h"

namespace tq5::platform {

namespace {
FileCalls& Calls() {
  static FileCalls calls = SystemFileCalls();
  return calls;
}
}  // namespace

const FileCalls& Files() { return Calls(); }

FileCalls ReplaceFileCalls(const FileCalls& replacement) {
  const FileCalls previous = Calls();
  Calls() = replacement;
  return previous;
}

}  // namespace tq5::platform
