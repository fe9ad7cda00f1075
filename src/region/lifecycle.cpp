// Start-up and shut-down of the global cache mutex and the server's region.
#include "platform/platform.h"
#include "region/call_patterns.h"
#include "region/exported_calls.h"
#include "region/server_access.h"

using namespace tq5::region;
using tq5::platform::Status;

Status tq5::calls::InitializeTQ5ORVCacheServer() {
  if (ProcessRegion().cacheMutex.load()) return {};
  // The access is read once per start-up: the mutex, the region and the cache file
  // all get the same answer.
  tq5::platform::ObjectAccess access;
  if (!ResolveServerAccess().ok() || !ServerAccess(&access).ok()) {
    return Status::After(CACHE_E_MUTEX_CREATE);
  }
  tq5::platform::GlobalMutex* mutex = nullptr;
  Status created = tq5::platform::CreateGlobalMutex(&mutex, access);
  if (created.ok()) AdoptCacheMutex(mutex);
  return created;
}

Status tq5::calls::InitializeTQ5ORVCache() {
  if (ProcessRegion().cacheMutex.load()) return {};
  tq5::platform::GlobalMutex* mutex = nullptr;
  Status opened = tq5::platform::OpenGlobalMutex(&mutex);
  if (opened.ok()) AdoptCacheMutex(mutex);
  return opened;
}

Status tq5::calls::UninitializeTQ5ORVCache() {
  ReleaseCacheMutex();
  ForgetServerAccess();
  return {};
}

Status tq5::calls::UninitializeCacheDataSharedMemory() {
  CacheLock lock;
  if (lock.status() != CACHE_OK) return Status::Answer(lock.status());
  Status unmapped = UnmapRegion();
  if (!unmapped.ok()) return unmapped;  // the section stays open
  CloseMapping();
  return {};
}
