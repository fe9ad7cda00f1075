/* Shows that a program of this build really runs, at the bitness it was built for. A
 * Wine without its 32-bit side ends a 32-bit program at once, with exit code 0 and no
 * output, so every test would pass unseen; the test of this program matches the line
 * below instead of trusting the exit code. The message comes from the library through
 * its plain export name, as a C program built against the header reaches it. */
#include <stdio.h>

#include "tq5orvcache.h"

int main(void) {
  char message[128];
  uint32_t length = sizeof message;
  GetTQ5ORVCacheErrorMessage(CACHE_E_NO_SPACE, message, &length);
  printf("bitness canary: %u-bit, library says: %s\n", (unsigned)(sizeof(void*) * 8), message);
  return 0;
}
