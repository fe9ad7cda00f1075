// `orvcache server`: the long-running cache server.
#pragma once

#include <vector>

#include "cli.h"

namespace orvcache {

extern const std::vector<OptionSpec> kServerOptions;

// Runs until a stop request; the process's exit code.
int RunServer(const Args& args, bool json);

}  // namespace orvcache
