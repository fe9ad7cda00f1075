// Where the region lives for the benchmark at hand: in this process (server calls), or
// in a child process, so that this one is a plain client of it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include "tq5orvcache.h"

namespace tq5bench {

class World {
 public:
  enum Where { kNone, kHere, kChild };

  // `startServer` starts a server in the calling process, with the benchmark's data.
  explicit World(bool (*startServer)()) : startServer_(startServer) {}

  bool Be(Where where) {
    if (where == where_) return true;
    Leave();
    if (where == kHere && !startServer_()) return false;
    if (where == kChild && !StartChild()) return false;
    where_ = where;
    return true;
  }

  void Leave() {
    if (where_ == kHere) StopServer();
    if (where_ == kChild) {
      close(stop_);  // the child serves until this end closes
      waitpid(child_, nullptr, 0);
      UninitializeTQ5ORVCache();
    }
    where_ = kNone;
  }

 private:
  static void StopServer() {
    UninitializeCacheDataSharedMemory();
    UninitializeTQ5ORVCache();
  }

  bool StartChild() {
    int ready[2], stop[2];
    if (pipe(ready) != 0 || pipe(stop) != 0) return false;
    child_ = fork();
    if (child_ < 0) return false;
    if (child_ == 0) {
      close(ready[0]);
      close(stop[1]);
      const char ok = startServer_() ? 1 : 0;
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      char byte;
      while (read(stop[0], &byte, 1) > 0) {
      }
      StopServer();
      _exit(0);
    }
    close(ready[1]);
    close(stop[0]);
    stop_ = stop[1];
    char ok = 0;
    const bool started = read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    return started && InitializeTQ5ORVCache() == CACHE_OK;
  }

  bool (*startServer_)();
  Where where_ = kNone;
  pid_t child_ = -1;
  int stop_ = -1;
};

}  // namespace tq5bench
