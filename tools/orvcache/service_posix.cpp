// On POSIX the service manager is systemd: there is nothing to install from here, and the
// server needs no help from the command to run under it.
#include "output.h"
#include "service.h"

namespace orvcache::service {

namespace {
constexpr const char* kUseSystemd =
    "Windows services only; on Linux run `orvcache server` under systemd (an example unit "
    "is installed as share/doc/tq5orvcache/examples/orvcache.service)";
}  // namespace

std::vector<OptionSpec> Options() {
  return {{"--name", "NAME", "the service's name (default orvcache)"},
          {"--start", "auto|demand", "start with Windows (default) or only when asked"}};
}

int RunServiceCommand(const Args&, bool) {
  throw ToolError(std::string("service: ") + kUseSystemd);
}

int RunAsService(const std::function<int()>&) {
  throw ToolError(std::string("--service: ") + kUseSystemd);
}

}  // namespace orvcache::service
