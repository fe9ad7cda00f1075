// The system's error on Windows: GetLastError and FormatMessage.
#include <string>

#include "platform/status.h"
#include "platform/win32/windows_api.h"

namespace tq5::platform {

long LastSystemError() { return static_cast<long>(GetLastError()); }

std::string SystemErrorText(long error) {
  char buffer[512] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  // The system's texts end with a full stop and a line break.
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  const std::string number = "error " + std::to_string(static_cast<unsigned long>(error));
  return text.empty() ? number : text + " (" + number + ")";
}

}  // namespace tq5::platform
