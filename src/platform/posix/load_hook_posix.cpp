// The shared object's load and unload hooks: what DllMain's process attach and detach
// are on Windows.
#include "exports/load_hook.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() {
  // A shared object cannot refuse to load; without a process lock the fetch state is
  // simply unguarded, which only matters to a process that fetches on several threads.
  tq5::exports::OnProcessAttach();
}

__attribute__((destructor)) void LibraryUnloaded() { tq5::exports::OnProcessDetach(); }

}  // namespace
