// A program built from the library's core has no loader hook: this does for it what
// loading the library does in every other process (the process lock).
#include "exports/load_hook.h"

namespace {

[[maybe_unused]] const bool attached = tq5::exports::OnProcessAttach();

}  // namespace
