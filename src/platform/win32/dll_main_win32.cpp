#include "exports/load_hook.h"
#include "platform/win32/windows_api.h"

// The loader calls this under its own lock: the hooks only create or close the process
// lock, which is safe there.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // FALSE makes LoadLibrary (or the process start) fail instead of running without
      // the process lock.
      return tq5::exports::OnProcessAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
      tq5::exports::OnProcessDetach();
      return TRUE;
    default:
      // Thread notifications stay enabled (no DisableThreadLibraryCalls): the statically
      // linked threading runtime frees its per-thread data through them.
      return TRUE;
  }
}
