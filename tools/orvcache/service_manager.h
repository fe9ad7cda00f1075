// What the server tells the service manager that started it: ready once the region is
// up and the role table loaded, reloading and ready again around a reload, stopping.
// Under systemd (a build with libsystemd) the notification socket it names; elsewhere,
// and when the server was not started by it, nothing.
#pragma once

#include <string>

namespace orvcache::service {

// `status` is the one line `systemctl status` shows beside the state.
void Ready(const std::string& status);
void Reloading();
void Stopping(const std::string& status);

}  // namespace orvcache::service
