// The system's error on POSIX: errno and strerror_r.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/status.h"

namespace tq5::platform {

namespace {

// strerror_r comes in two forms: the XSI one fills the buffer and returns a number, the
// GNU one returns the text, which may not be in the buffer.
[[maybe_unused]] std::string TextOf(int result, const char* buffer, long error) {
  return result == 0 ? std::string(buffer) : "error " + std::to_string(error);
}
[[maybe_unused]] std::string TextOf(const char* text, const char*, long) { return text; }

}  // namespace

long LastSystemError() { return errno; }

std::string SystemErrorText(long error) {
  char buffer[256] = {};
  return TextOf(strerror_r(static_cast<int>(error), buffer, sizeof buffer), buffer, error);
}

}  // namespace tq5::platform
