// No service manager to tell: Windows, or a Linux build without libsystemd (its unit
// says Type=simple).
#include "service_manager.h"

namespace orvcache::service {

void Ready(const std::string&) {}
void Reloading() {}
void Stopping(const std::string&) {}

}  // namespace orvcache::service
