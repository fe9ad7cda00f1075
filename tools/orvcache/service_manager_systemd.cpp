// The service manager is systemd: sd_notify over the socket named by NOTIFY_SOCKET,
// which does nothing when the server was not started as a notify service.
#include <systemd/sd-daemon.h>

#include "service_manager.h"

namespace orvcache::service {

void Ready(const std::string& status) { sd_notify(0, ("READY=1\nSTATUS=" + status).c_str()); }

void Reloading() { sd_notify(0, "RELOADING=1"); }

void Stopping(const std::string& status) { sd_notify(0, ("STOPPING=1\nSTATUS=" + status).c_str()); }

}  // namespace orvcache::service
