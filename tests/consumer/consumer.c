/* A program outside the project that uses the installed library, as any client would. */
#include <stdio.h>
#include <string.h>
#include <tq5orvcache.h>

int main(void) {
  char text[128];
  uint32_t length = sizeof text;
  ResultCode rc;
  GetTQ5ORVCacheErrorMessage(CACHE_E_MUTEX_OPEN, text, &length);
  /* No server runs under the test's object prefix, so a client cannot start. */
  rc = InitializeTQ5ORVCache();
  printf("%d: %s\n", (int)rc, text);
  UninitializeTQ5ORVCache();
  return rc == CACHE_E_MUTEX_OPEN && strstr(text, "mutex") != NULL ? 0 : 1;
}
