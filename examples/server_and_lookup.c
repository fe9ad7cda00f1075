/*
 * The cache's whole life in one program, through the exports only: what a cache server
 * does at start-up and shut-down, and between them what a client does to learn a user's
 * roles. The same source builds on Windows and on Linux.
 *
 *   server_and_lookup DOMAIN USER ROLE_NAME ROLE_ID [ROLE_NAME ROLE_ID]...
 *
 * The role pairs are the directory's complete role list, which a real server reads from
 * the directory itself. Roles that a user holds but that are not in the list are dropped.
 *
 * What it needs:
 *   MERLOC_GROUP_FOLDER_NAME  the folder of the cache file, TQ5ORVCACHE.dat
 *   the directory             Windows: the directory component, or the stand-in
 *                             (orv_directory_server /RegServer /Directory FILE);
 *                             Linux: TQ5ORVCACHE_DIRECTORY=file:FILE, or nothing for the
 *                             machine's own users and groups
 *
 * In a real installation the server and its clients are separate processes: the server
 * runs `orvcache server` (or the service), and each client process calls
 * InitializeTQ5ORVCache once and then the Client exports.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tq5orvcache.h"

static int Report(const char* what, ResultCode rc) {
  char message[256];
  uint32_t length = sizeof message;
  GetTQ5ORVCacheErrorMessage(rc, message, &length);
  fprintf(stderr, "%s: %d %s\n", what, (int)rc, message);
  return 1;
}

/* The server's start: the mutex, then the region (from the cache file when it has a
 * usable one), then the complete role list. */
static ResultCode StartServer(int32_t roleCount, const RoleEntry* roles) {
  ResultCode rc = InitializeTQ5ORVCacheServer();
  if (rc != CACHE_OK) return rc;
  rc = InitializeCacheDataSharedMemory();
  if (rc != CACHE_OK) return rc;
  /* Put renumbers the table; a server whose region came back from the cache file with
   * users in it merges instead, which keeps every role in the slot its users point at. */
  {
    int32_t users = 0;
    rc = GetUserProperties(NULL, NULL, &users);
    if (rc != CACHE_OK) return rc;
    return users == 0 ? PutAllRolesCacheDataSharedMemory(roleCount, roles)
                      : UpdateAllRolesCacheDataSharedMemory(roleCount, roles);
  }
}

/* A client's lookup, with the count's two meanings: the room in `roles` going in, the
 * number of roles coming out. A buffer that is too small says how many there are. */
static ResultCode LookUp(const char* domain, const char* user) {
  RoleNameId small[1];
  RoleNameId* roles = small;
  int32_t count = 1;
  int32_t i;
  /* 0: the time limit for the directory is the registry's (60 s unless set). */
  ResultCode rc = ClientFindUserRoles(domain, user, &count, roles, 0);
  if (rc == CACHE_E_BUFFER_TOO_SMALL) {
    roles = (RoleNameId*)malloc(sizeof(RoleNameId) * (size_t)count);
    if (roles == NULL) return CACHE_E_NO_MEMORY;
    rc = ClientFindUserRoles(domain, user, &count, roles, 0);
  }
  if (rc == CACHE_OK) {
    printf("%s\\%s holds %d role(s)\n", domain, user, (int)count);
    for (i = 0; i < count; ++i) printf("  %s (%s)\n", roles[i].name, roles[i].id);
  }
  if (roles != small) free(roles);
  return rc;
}

int main(int argc, char** argv) {
  RoleEntry* list;
  int32_t roleCount;
  int32_t i;
  int32_t users = 0;
  ResultCode rc;

  if (argc < 5 || (argc - 3) % 2 != 0) {
    fprintf(stderr, "usage: %s DOMAIN USER ROLE_NAME ROLE_ID [ROLE_NAME ROLE_ID]...\n", argv[0]);
    return 2;
  }
  roleCount = (int32_t)((argc - 3) / 2);
  list = (RoleEntry*)calloc((size_t)roleCount, sizeof(RoleEntry));
  if (list == NULL) return 1;
  for (i = 0; i < roleCount; ++i) {
    /* Every record of the list is in use and listed; names and ids end within 64 bytes. */
    list[i].inUse = 1;
    list[i].listed = 1;
    strncpy(list[i].name, argv[3 + 2 * i], TQ5ORVCACHE_TEXT_SIZE - 1);
    strncpy(list[i].id, argv[4 + 2 * i], TQ5ORVCACHE_TEXT_SIZE - 1);
  }

  rc = StartServer(roleCount, list);
  free(list);
  if (rc != CACHE_OK) {
    Report("starting the cache", rc);
    UninitializeTQ5ORVCache();
    return 1;
  }

  /* A client process starts with this; here, in the server's process, the mutex is open
   * already and it returns 0. The Client calls then use the server's own view. */
  rc = InitializeTQ5ORVCache();
  /* The first lookup misses and fetches from the directory, the second is a hit. */
  if (rc == CACHE_OK) rc = LookUp(argv[1], argv[2]);
  if (rc == CACHE_OK) rc = LookUp(argv[1], argv[2]);
  if (rc == CACHE_OK) rc = ClientGetUserProperties(NULL, NULL, &users);
  if (rc == CACHE_OK) printf("%d user(s) cached\n", (int)users);
  if (rc != CACHE_OK) Report("looking up", rc);

  /* The server's end: the cache file first, so that the next start has the users. */
  {
    const ResultCode written = WriteCacheDataToFile();
    if (written != CACHE_OK) Report("writing the cache file", written);
    if (rc == CACHE_OK) rc = written;
  }
  UninitializeCacheDataSharedMemory();
  UninitializeTQ5ORVCache();
  return rc == CACHE_OK ? 0 : 1;
}
