// Start-up and shut-down of the global cache mutex and the server's region.
#include "platform/platform.h"
#include "region/call_patterns.h"
#include "region/server_access.h"

using namespace tq5::region;

extern "C" ResultCode InitializeTQ5ORVCacheServer(void) {
  if (ProcessRegion().cacheMutex.load()) return CACHE_OK;
  // The access is read once per start-up: the mutex, the region and the cache file
  // all get the same answer.
  tq5::platform::ObjectAccess access;
  if (!ResolveServerAccess() || !ServerAccess(&access)) return CACHE_E_MUTEX_CREATE;
  tq5::platform::GlobalMutex* mutex = nullptr;
  const ResultCode rc = tq5::platform::CreateGlobalMutex(&mutex, access).code();
  if (rc == CACHE_OK) AdoptCacheMutex(mutex);
  return rc;
}

extern "C" ResultCode InitializeTQ5ORVCache(void) {
  if (ProcessRegion().cacheMutex.load()) return CACHE_OK;
  tq5::platform::GlobalMutex* mutex = nullptr;
  const ResultCode rc = tq5::platform::OpenGlobalMutex(&mutex).code();
  if (rc == CACHE_OK) AdoptCacheMutex(mutex);
  return rc;
}

extern "C" ResultCode UninitializeTQ5ORVCache(void) {
  ReleaseCacheMutex();
  ForgetServerAccess();
  return CACHE_OK;
}

extern "C" ResultCode UninitializeCacheDataSharedMemory(void) {
  CacheLock lock;
  if (lock.status() != CACHE_OK) return lock.status();
  const ResultCode rc = UnmapRegion();
  if (rc != CACHE_OK) return rc;  // the section stays open
  CloseMapping();
  return CACHE_OK;
}
