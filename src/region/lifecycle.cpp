// Start-up and shut-down of the global cache mutex and the server's region.
#include "platform/platform.h"
#include "region/call_patterns.h"

using namespace tq5::region;

extern "C" ResultCode InitializeTQ5ORVCacheServer(void) {
  ProcessState& state = State();
  if (state.cacheMutex.load()) return CACHE_OK;
  tq5::platform::GlobalMutex* mutex = nullptr;
  const ResultCode rc = tq5::platform::CreateGlobalMutex(&mutex);
  if (rc == CACHE_OK) state.cacheMutex.store(mutex);
  return rc;
}

extern "C" ResultCode InitializeTQ5ORVCache(void) {
  ProcessState& state = State();
  if (state.cacheMutex.load()) return CACHE_OK;
  tq5::platform::GlobalMutex* mutex = nullptr;
  const ResultCode rc = tq5::platform::OpenGlobalMutex(&mutex);
  if (rc == CACHE_OK) state.cacheMutex.store(mutex);
  return rc;
}

extern "C" ResultCode UninitializeTQ5ORVCache(void) {
  if (tq5::platform::GlobalMutex* mutex = State().cacheMutex.exchange(nullptr)) {
    tq5::platform::CloseGlobalMutex(mutex);
  }
  return CACHE_OK;
}

extern "C" ResultCode UninitializeCacheDataSharedMemory(void) {
  CacheLock lock;
  const ResultCode rc = UnmapRegion();
  if (rc != CACHE_OK) return rc;  // the section stays open
  ProcessState& state = State();
  tq5::platform::CloseSection(state.regionMapping);
  state.regionMapping = nullptr;
  return CACHE_OK;
}
