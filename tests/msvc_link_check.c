/* Built for the MSVC ABI without any C runtime and linked by an MSVC-compatible linker
 * against the zip's tq5orvcache.lib: the import library must give every call a working
 * route into tq5orvcache.dll. Exit 0 when the calls answered as they should. */
#include "tq5orvcache.h"

int mainCRTStartup(void) {
  char text[128];
  uint32_t length = sizeof text;
  GetTQ5ORVCacheErrorMessage(CACHE_E_MUTEX_OPEN, text, &length);
  /* No server runs under the test's object prefix: a client cannot start. */
  if (InitializeTQ5ORVCache() != CACHE_E_MUTEX_OPEN) return 1;
  if (length < 2 || length > sizeof text || text[length - 1] != '\0') return 2;
  return UninitializeTQ5ORVCache() == CACHE_OK ? 0 : 3;
}
