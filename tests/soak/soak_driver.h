// The kill soak's driver: a cache server on short timers, clients and mutex holders
// against a slow directory, SIGKILL at random for all of them, each restarted; then a
// clean stop and the checks of what is left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tq5::soak {

struct SoakOptions {
  double seconds = 30;
  uint32_t seed = 1;
  int clients = 4;
  int holders = 2;
  int users = 24;
  std::string orvcache;                  // the orvcache program
  std::string self;                      // this program, for the workers
  std::vector<std::string> environment;  // NAME=VALUE for every process of the run
};

// 0 when the run found nothing wrong, 1 otherwise.
int RunSoak(const SoakOptions& options);

}  // namespace tq5::soak
