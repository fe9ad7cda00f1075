// What the library does when the loader brings it into a process or takes it out.
// The platform's loader entry (a constructor on POSIX, DllMain on Windows) calls these.
#pragma once

namespace tq5::exports {

// Creates the process lock. False means the library must not load.
bool OnProcessAttach();
void OnProcessDetach();

}  // namespace tq5::exports
