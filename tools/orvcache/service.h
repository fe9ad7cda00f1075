// The cache server as a system service: `orvcache service install|uninstall`, and
// `orvcache server --service`, which the installed service's command line carries, run by
// the service control manager. Windows only (service_win32.cpp); on POSIX the commands
// point at systemd (service_posix.cpp).
#pragma once

#include <functional>
#include <vector>

#include "cli.h"

namespace orvcache::service {

// The options of `orvcache service`: the server's own, written into the service's command
// line, and the service's name and start type.
std::vector<OptionSpec> Options();

// `orvcache service install|uninstall`.
int RunServiceCommand(const Args& args, bool json);

// Runs `server` (the whole server: start, serve, shut down) as the service's work and
// returns its exit code once the service has stopped. A stop or shut-down control arrives
// as a stop request (host::RequestStop). ToolError when the process was not started as a
// service.
int RunAsService(const std::function<int()>& server);

// What the server reports while it runs as a service (ready, stopping) goes through
// service_manager.h, which service_win32.cpp implements for the service control manager.

}  // namespace orvcache::service
