// The fault guard on POSIX. Each call checks the size of the objects it maps before it
// touches them, but another process may shrink an object between that check and the
// access, and the access then raises SIGBUS. While a thread is inside a call of the
// library (a CallGuard), a SIGBUS at an address inside one of the library's registered
// mappings gets a page of zeros private to this process mapped in its place, so the
// access completes; the mapping is marked damaged, and the checks of the later calls
// refuse it (or map the object over it again once it is whole). Any other SIGBUS goes to
// the handler the process had before; without one, it takes its default action.
//
// The handler reads only a fixed table of atomics and the thread's own call depth
// (initial-exec TLS, which a handler may read), and makes one system call.
#include "platform/posix/fault_guard_posix.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"

namespace tq5::platform {
namespace {

struct Mapping {
  std::atomic<uintptr_t> begin{0};  // 0: a free slot
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> damaged{false};
};
// The region's view, a client's kept views, the mutex blocks and the statistics
// mappings: a few per mutex handle and object prefix.
constexpr int kMappings = 256;
Mapping mappings[kMappings];

__attribute__((tls_model("initial-exec"))) thread_local int callDepth = 0;
__attribute__((tls_model("initial-exec"))) thread_local bool callFaulted = false;

struct sigaction previous;
uintptr_t pageSize = 4096;

void Chain(int signal, siginfo_t* info, void* context) {
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction) {
      previous.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  // The default action: the faulting access runs again and ends the process as it would
  // have without this handler.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
}

void OnBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (callDepth > 0) {
    for (Mapping& mapping : mappings) {
      const uintptr_t begin = mapping.begin.load(std::memory_order_acquire);
      if (begin == 0 || address < begin || address >= mapping.end.load()) continue;
      const uintptr_t page = address & ~(pageSize - 1);
      // Straight to the kernel: no wrapper of the library (or a sanitizer's) in between.
      const long placed = syscall(SYS_mmap, page, pageSize, PROT_READ | PROT_WRITE,
                                  MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (placed == static_cast<long>(page)) {
        mapping.damaged.store(true);
        callFaulted = true;
        return;
      }
      break;
    }
  }
  Chain(signal, info, context);
}

void Install() {
  static std::once_flag once;
  std::call_once(once, [] {
    const long size = sysconf(_SC_PAGESIZE);
    if (size > 0) pageSize = static_cast<uintptr_t>(size);
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous);
  });
}

Mapping* Find(const void* base) {
  const auto at = reinterpret_cast<uintptr_t>(base);
  for (Mapping& mapping : mappings) {
    if (mapping.begin.load() == at) return &mapping;
  }
  return nullptr;
}

}  // namespace

void RegisterMapping(void* base, std::size_t size) {
  if (!base || size == 0) return;
  Install();
  const auto begin = reinterpret_cast<uintptr_t>(base);
  for (Mapping& mapping : mappings) {
    uintptr_t expected = 0;
    // Claimed with a mark no address has, filled, then published with its real start.
    if (!mapping.begin.compare_exchange_strong(expected, 1)) continue;
    mapping.end.store(begin + size);
    mapping.damaged.store(false);
    mapping.begin.store(begin, std::memory_order_release);
    return;
  }
  // A full table leaves the mapping unguarded: its size is still checked at every call.
}

void UnregisterMapping(void* base) {
  if (Mapping* mapping = Find(base)) {
    mapping->end.store(0);
    mapping->begin.store(0, std::memory_order_release);
  }
}

bool MappingDamaged(const void* base) {
  const Mapping* mapping = Find(base);
  return mapping && mapping->damaged.load();
}

bool RestoreMapping(void* base, std::size_t size, int fd) {
  Mapping* mapping = Find(base);
  if (!mapping) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < size) return false;
  if (mmap(base, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
    return false;
  }
  mapping->damaged.store(false);
  return true;
}

void EnterGuardedCall() {
  if (callDepth++ == 0) callFaulted = false;
}

void LeaveGuardedCall() { --callDepth; }

bool CallFaulted() { return callFaulted; }

}  // namespace tq5::platform
