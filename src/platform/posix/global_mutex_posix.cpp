// The global cache mutex on POSIX: a robust, recursive, process-shared pthread mutex
// living in a small named shm object. The object is never unlinked once it is ready,
// so two generations of the mutex can never exist side by side.
#include "platform/posix/global_mutex_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/fault_guard_posix.h"
#include "platform/posix/object_access_posix.h"
#include "platform/posix/shared_object_posix.h"

namespace tq5::platform {
namespace {

constexpr uint32_t kMagic = 0x4d355154;  // "TQ5M"
// Processes of another ABI (pthread_mutex_t is 24 bytes on i386, 40 on x86-64) must
// refuse the object rather than misread it.
constexpr uint32_t kLayoutStamp = (2u << 24) | (static_cast<uint32_t>(sizeof(void*)) << 16) |
                                  static_cast<uint32_t>(sizeof(pthread_mutex_t));
constexpr size_t kObjectSize = 4096;
constexpr auto kReadyWait = std::chrono::seconds(2);

struct MutexBlock {
  uint32_t magic;
  uint32_t layoutStamp;
  std::atomic<uint32_t> ready;  // set once the creator has initialised the mutex
  uint32_t reserved;
  pthread_mutex_t mutex;
  RegionRecord region;
};
static_assert(sizeof(MutexBlock) <= kObjectSize);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// Mappings of mutex objects stay for the life of the process: the kernel walks each
// thread's robust list by address at exit, and unmapping while another thread may be
// unlocking inside it corrupts whatever is mapped there next.
struct KnownBlock {
  dev_t dev;
  ino_t ino;
  MutexBlock* block;
};
std::mutex knownBlocksLock;
std::vector<KnownBlock> knownBlocks;

MutexBlock* MapBlock(int fd, const struct stat& st) {
  std::lock_guard<std::mutex> guard(knownBlocksLock);
  for (const KnownBlock& known : knownBlocks) {
    if (known.dev == st.st_dev && known.ino == st.st_ino) return known.block;
  }
  void* p = SharedMemory().map(kObjectSize, fd);
  if (p == MAP_FAILED) return nullptr;
  auto* block = static_cast<MutexBlock*>(p);
  RegisterMapping(p, kObjectSize);
  knownBlocks.push_back({st.st_dev, st.st_ino, block});
  return block;
}

// 0, or the error of the pthread call that failed.
int InitialiseBlock(MutexBlock* block) {
  pthread_mutexattr_t attr;
  int error = pthread_mutexattr_init(&attr);
  if (error != 0) return error;
  if ((error = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED)) == 0 &&
      (error = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST)) == 0 &&
      (error = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE)) == 0) {
    error = pthread_mutex_init(&block->mutex, &attr);
  }
  pthread_mutexattr_destroy(&attr);
  if (error != 0) return error;
  block->magic = kMagic;
  block->layoutStamp = kLayoutStamp;
  block->ready.store(1, std::memory_order_release);
  return 0;
}

// Waits a short while for the creator to size and initialise the object. *notReady is
// set when it never became ready (its creator died half-way).
Status AttachExisting(int fd, const std::string& name, ResultCode code, MutexBlock** out,
                      bool* notReady) {
  *notReady = false;
  const auto deadline = std::chrono::steady_clock::now() + kReadyWait;
  for (;;) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return Status::Failed(code, "fstat", name);
    if (static_cast<size_t>(st.st_size) >= kObjectSize) {
      MutexBlock* block = MapBlock(fd, st);
      if (!block) return Status::Failed(code, "mmap", name);
      if (block->ready.load(std::memory_order_acquire) == 1) {
        if (block->magic != kMagic || block->layoutStamp != kLayoutStamp) {
          return Status::Refused(code, "attach", name,
                                 "the object was made by an incompatible build (another "
                                 "word size or layout)");
        }
        *out = block;
        return {};
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      *notReady = true;
      return Status::Refused(code, "attach", name, "its creator never made it ready");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Why the object cannot be given to the access's group, with the usual causes and their
// fixes, the likelier first: this account is not in the group (a unit without
// SupplementaryGroups=), or an object that was there already is a leftover of another
// account. An object made just now (`made`) can only be the first.
std::string GroupRefusal(const std::string& name, const ObjectAccess& access, uid_t owner,
                         const std::string& reason, bool made) {
  const auto nameOf = [](uid_t uid) {
    const passwd* account = getpwuid(uid);
    return account && account->pw_name ? std::string(account->pw_name) : std::to_string(uid);
  };
  const std::string self = nameOf(geteuid());
  bool member = getegid() == static_cast<gid_t>(access.groupId);
  gid_t groups[256];
  const int count = getgroups(256, groups);
  for (int i = 0; i < count && !member; ++i) {
    member = groups[i] == static_cast<gid_t>(access.groupId);
  }
  const std::string notMember =
      "this account (" + self + ") is not a member of " + access.groupName +
      ": make it one (under systemd the unit's SupplementaryGroups=" + access.groupName +
      ", else `usermod -aG " + access.groupName + " " + self + "` and a new login)";
  const std::string leftover =
      "the object is a leftover of " +
      (owner == geteuid() ? std::string("an earlier server")
                          : "another account (" + nameOf(owner) + ")") +
      ": remove it with `orvcache cleanup --mutex` while no program uses the cache";
  const std::string head = "the mutex object /dev/shm" + name + " cannot be given to the group " +
                           access.groupName + ": " + reason + ". ";
  if (made) return head + "T" + notMember.substr(1);
  return head + "Either " + (member ? leftover : notMember) + "; or " +
         (member ? notMember : leftover);
}

// Creates and initialises the object, open as *fd; *exists is set, and nothing recorded,
// when one is there already.
Status CreateNew(const std::string& name, const ObjectAccess& access, MutexBlock** out, int* fdOut,
                 bool* exists) {
  int fd = -1;
  const Status created =
      CreateSharedObject(name, kObjectSize, access, CACHE_E_MUTEX_CREATE, nullptr, &fd, exists);
  if (!created.ok()) {
    if (*exists) return Status();
    const Failure* failure = created.failure();
    if (access.restricted && failure && failure->call.rfind("fchown", 0) == 0) {
      NoteAccessProblem(GroupRefusal(name, access, geteuid(), failure->reason, true));
    }
    return created;
  }
  struct stat st {};
  Status status;
  MutexBlock* block = nullptr;
  if (SharedMemory().stat(fd, &st) != 0) {
    status = Status::Failed(CACHE_E_MUTEX_CREATE, "fstat", name);
  } else if (!(block = MapBlock(fd, st))) {
    status = Status::Failed(CACHE_E_MUTEX_CREATE, "mmap", name);
  } else if (const int error = InitialiseBlock(block); error != 0) {
    status = Status::Failed(CACHE_E_MUTEX_CREATE, "pthread_mutex_init", name, error);
  }
  if (!status.ok()) {
    close(fd);
    SharedMemory().unlink(name.c_str());
    return status;
  }
  *out = block;
  *fdOut = fd;
  return {};
}

// An existing object outlives the server that made it, perhaps under another access.
// While a live server holds the region the object is its, and stays as it is (this
// start-up is refused when it creates the region). Otherwise a restricted server takes
// it over only from the system or itself (another user could change it back at will)
// and gives it the group and mode; a default one opens it to everyone again, as far as
// it may.
Status TakeOver(int fd, const std::string& name, const ObjectAccess& access) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return Status::Failed(CACHE_E_MUTEX_CREATE, "fstat", name);
  const mode_t mode = ObjectMode(access);
  const bool asWanted = (st.st_mode & 0777) == mode &&
                        (!access.restricted || st.st_gid == static_cast<gid_t>(access.groupId));
  if (asWanted || LiveServerHoldsRegion()) return {};
  if (!access.restricted) {
    fchmod(fd, mode);  // a server of another account cannot; its clients then are refused
    return {};
  }
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    const std::string why = "the mutex object /dev/shm" + name + " belongs to user id " +
                            std::to_string(st.st_uid) +
                            ", who could open it to everyone again; remove it while no process "
                            "uses the cache, then start the server";
    return RefuseAccess(CACHE_E_MUTEX_CREATE, "take over", name, why);
  }
  if (!ApplyAccess(fd, access, mode)) {
    Status failed = Status::Failed(CACHE_E_MUTEX_CREATE, "fchown", name);
    NoteAccessProblem(GroupRefusal(name, access, st.st_uid, failed.failure()->reason, false));
    return failed;
  }
  return {};
}

}  // namespace

struct GlobalMutex {
  MutexBlock* block;
  KeptSideObject sideObjects[kSideObjectKinds];
  // The object, kept open so that every take can see first that nobody shrank it: a
  // mapped page past an object's end faults when touched.
  int fd;
};

namespace {

// The mutex this thread holds, by its object, and how often it took it. A second mutex
// taken inside the first (another object prefix) is not tracked: calls under it see no
// held mutex and keep nothing. Initial-exec: the lookup's path takes the mutex, and
// this costs no call.
struct HeldMutex {
  MutexBlock* block;
  unsigned depth;
};
__attribute__((tls_model("initial-exec"))) thread_local HeldMutex held{nullptr, 0};

void NoteTaken(MutexBlock* block) {
  if (held.block == block) {
    ++held.depth;
  } else if (held.depth == 0) {
    held = {block, 1};
  }
}

void NoteReleased(MutexBlock* block) {
  if (held.block == block && --held.depth == 0) held.block = nullptr;
}

}  // namespace

Status CreateGlobalMutex(GlobalMutex** out, const ObjectAccess& access) {
  const std::string name = ObjectName(kCacheMutexName);
  for (int attempt = 0; attempt < 2; ++attempt) {
    MutexBlock* block = nullptr;
    bool exists = false;
    int fd = -1;
    Status status = CreateNew(name, access, &block, &fd, &exists);
    if (!status.ok()) return status;
    if (exists) {
      fd = SharedMemory().open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
      if (fd < 0) {
        if (errno == ENOENT) continue;
        return Status::Failed(CACHE_E_MUTEX_CREATE, "shm_open", name);
      }
      bool notReady = false;
      status = AttachExisting(fd, name, CACHE_E_MUTEX_CREATE, &block, &notReady);
      if (status.ok()) status = TakeOver(fd, name, access);
      if (notReady || !status.ok()) close(fd);
      if (notReady) {
        // Its creator died before it was ready; nobody can be using it.
        SharedMemory().unlink(name.c_str());
        continue;
      }
      if (!status.ok()) return status;
    }
    *out = new GlobalMutex{block, {}, fd};
    return {};
  }
  return Status::Refused(CACHE_E_MUTEX_CREATE, "shm_open", name,
                         "the object kept vanishing or never became ready");
}

Status OpenGlobalMutex(GlobalMutex** out) {
  const std::string name = ObjectName(kCacheMutexName);
  int fd = SharedMemory().open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return Status::Failed(CACHE_E_MUTEX_OPEN, "shm_open", name);
  MutexBlock* block = nullptr;
  bool notReady = false;
  const Status status = AttachExisting(fd, name, CACHE_E_MUTEX_OPEN, &block, &notReady);
  if (!status.ok()) {
    close(fd);
    return status;
  }
  *out = new GlobalMutex{block, {}, fd};
  return {};
}

void CloseGlobalMutex(GlobalMutex* mutex) {
  for (KeptSideObject& kept : mutex->sideObjects) ReleaseKeptSideObject(&kept);
  close(mutex->fd);
  delete mutex;
}

namespace {

// Whether the object still holds the whole block, as its creator made it: any process
// that may write it can shrink it (every page past the end then faults) or empty it.
bool Intact(const GlobalMutex* mutex) {
  struct stat st {};
  return fstat(mutex->fd, &st) == 0 && static_cast<size_t>(st.st_size) >= kObjectSize &&
         !MappingDamaged(mutex->block) && mutex->block->magic == kMagic &&
         mutex->block->layoutStamp == kLayoutStamp;
}

}  // namespace

LockOutcome LockGlobalMutex(GlobalMutex* mutex) {
  if (!Intact(mutex)) {
    NoteRefused(CACHE_E_MUTEX_OPEN, "pthread_mutex_lock", ObjectName(kCacheMutexName),
                "the mutex object was shrunk or overwritten by another process");
    return LockOutcome::Failed;
  }
  switch (const int error = pthread_mutex_lock(&mutex->block->mutex)) {
    case 0:
      NoteTaken(mutex->block);
      return LockOutcome::Taken;
    case EOWNERDEAD:
      // Taken with a recursion count of 1. It must be marked consistent before the
      // outermost unlock, or every later lock in every process fails for good.
      NoteTaken(mutex->block);
      return LockOutcome::OwnerDied;
    default:  // ENOTRECOVERABLE, EAGAIN (recursion too deep)
      NoteFailed(CACHE_E_MUTEX_OPEN, "pthread_mutex_lock", ObjectName(kCacheMutexName), error);
      return LockOutcome::Failed;
  }
}

void MarkGlobalMutexConsistent(GlobalMutex* mutex) {
  pthread_mutex_consistent(&mutex->block->mutex);
}

void UnlockGlobalMutex(GlobalMutex* mutex) {
  NoteReleased(mutex->block);
  // The take looked at the object's size; a shrink since then faults inside the call's
  // guard, which leaves the mapping damaged.
  if (!MappingDamaged(mutex->block)) pthread_mutex_unlock(&mutex->block->mutex);
}

RegionRecord* HeldRegionRecord() { return held.block ? &held.block->region : nullptr; }

RegionRecord& CurrentRegion(GlobalMutex* mutex) { return mutex->block->region; }

KeptSideObject& SideObjectKeptBy(GlobalMutex* mutex, SideObjectKind kind) {
  return mutex->sideObjects[static_cast<int>(kind)];
}

}  // namespace tq5::platform
