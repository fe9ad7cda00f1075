// tq5_soak: the kill soak (`run`) and the worker processes it starts (`client`, `holder`).
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "soak_driver.h"
#include "soak_workers.h"

namespace {

constexpr int kUsage = 2;

int Usage() {
  std::fprintf(stderr,
               "usage: tq5_soak run (--seconds N | --minutes N) --orvcache PATH [--seed N]\n"
               "                    [--clients N] [--holders N] [--users N] [--env NAME=VALUE]...\n"
               "       tq5_soak client|bare-client BOARD SLOT SEED USERS DIRECTORY-VERSION...\n"
               "       tq5_soak holder BOARD SLOT SEED\n");
  return kUsage;
}

std::string SelfPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

int Run(int argc, char** argv) {
  tq5::soak::SoakOptions options;
  options.seed = static_cast<uint32_t>(std::time(nullptr));
  options.self = SelfPath();
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (option == "--seconds") {
      options.seconds = std::atof(value.c_str());
    } else if (option == "--minutes") {
      options.seconds = 60 * std::atof(value.c_str());
    } else if (option == "--seed") {
      options.seed = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (option == "--clients") {
      options.clients = std::atoi(value.c_str());
    } else if (option == "--holders") {
      options.holders = std::atoi(value.c_str());
    } else if (option == "--users") {
      options.users = std::atoi(value.c_str());
    } else if (option == "--orvcache") {
      options.orvcache = value;
    } else if (option == "--env" && value.find('=') != std::string::npos && value[0] != '=') {
      options.environment.push_back(value);
    } else {
      return Usage();
    }
  }
  if (options.orvcache.empty() || options.self.empty() || options.seconds <= 0 ||
      options.clients < 1 || options.holders < 0 || options.users < 4 ||
      options.clients + options.holders > 32) {
    return Usage();
  }
  return tq5::soak::RunSoak(options);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "run") return Run(argc, argv);
  if ((command == "client" || command == "bare-client") && argc >= 7) {
    return tq5::soak::RunClient(argv[2], std::atoi(argv[3]),
                                static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)),
                                std::atoi(argv[5]), std::vector<std::string>(argv + 6, argv + argc),
                                command == "bare-client");
  }
  if (command == "holder" && argc == 5) {
    return tq5::soak::RunHolder(argv[2], std::atoi(argv[3]),
                                static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)));
  }
  return Usage();
}
