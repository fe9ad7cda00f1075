// The platform seam on its own: the properties of the kernel objects that the region code
// takes for granted.
#include "platform/platform.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/posix/fault_guard_posix.h"
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "region/region_state.h"
#include "support/test_support.h"

namespace tq5::platform {
namespace {

using namespace std::chrono_literals;

void SetPrefix(const char* value) { tq5test::SetEnv("TQ5ORVCACHE_OBJECT_PREFIX", value); }

// A lock that never returns is how most faults here show; end the program then rather
// than wait for the test runner's time limit.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_changed_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "%s did not finish: a lock never returned\n",
                         testing::UnitTest::GetInstance()->current_test_info()->name());
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;
};

// Kernel object names are machine-wide: every test gets names no other test or run uses.
class PlatformTest : public testing::Test {
 protected:
  void SetUp() override {
    prefix_ = "tq5pt" + std::to_string(CurrentProcessId()) + "_" +
              testing::UnitTest::GetInstance()->current_test_info()->name() + "_";
    SetPrefix(prefix_.c_str());
  }
  void TearDown() override {
#ifndef _WIN32
    // POSIX names outlive the test; the mutex's is never removed by the library. A test
    // may have moved to another prefix: the names to remove are those of its own.
    SetPrefix(prefix_.c_str());
    shm_unlink(ObjectName(kCacheMutexName).c_str());
    shm_unlink(ObjectName(kSectionName).c_str());
    shm_unlink(ObjectName(kStatisticsName).c_str());
    shm_unlink(ObjectName(kIndexName).c_str());
#endif
    SetPrefix(nullptr);
  }

  std::string prefix_;
  Watchdog watchdog_{std::chrono::seconds(60)};
};

// Another thread that waits for a lock, notes when it has it, and lets it go at once.
class Contender {
 public:
  Contender(std::function<void()> lock, std::function<void()> unlock)
      : thread_([this, lock, unlock] {
          lock();
          acquired_ = true;
          unlock();
        }) {}
  ~Contender() { thread_.join(); }

  // Whether it got the lock within `limit`.
  bool AcquiredWithin(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!acquired_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return acquired_;
  }

 private:
  std::atomic<bool> acquired_{false};
  std::thread thread_;
};

constexpr auto kBlocked = 200ms;  // long enough for a thread that is not blocked to get in
constexpr auto kGetsIn = 10s;

// ---- Global cache mutex -------------------------------------------------------------

TEST_F(PlatformTest, GlobalMutexOpenFailsBeforeCreate) {
  GlobalMutex* mutex = nullptr;
  EXPECT_EQ(OpenGlobalMutex(&mutex).code(), CACHE_E_MUTEX_OPEN);
  EXPECT_EQ(mutex, nullptr);
}

TEST_F(PlatformTest, GlobalMutexIsReentrantAndExcludesOtherThreads) {
  GlobalMutex* created = nullptr;
  ASSERT_EQ(CreateGlobalMutex(&created).code(), CACHE_OK);
  // The second create finds the first one's mutex, as a second server would.
  GlobalMutex* again = nullptr;
  ASSERT_EQ(CreateGlobalMutex(&again).code(), CACHE_OK);
  GlobalMutex* opened = nullptr;
  ASSERT_EQ(OpenGlobalMutex(&opened).code(), CACHE_OK);

  LockGlobalMutex(created);
  LockGlobalMutex(created);  // must not block its own owner
  {
    Contender client([&] { LockGlobalMutex(opened); }, [&] { UnlockGlobalMutex(opened); });
    EXPECT_FALSE(client.AcquiredWithin(kBlocked));
    UnlockGlobalMutex(created);  // one take still outstanding
    EXPECT_FALSE(client.AcquiredWithin(kBlocked));
    UnlockGlobalMutex(created);
    EXPECT_TRUE(client.AcquiredWithin(kGetsIn));
  }
  {
    Contender server([&] { LockGlobalMutex(again); }, [&] { UnlockGlobalMutex(again); });
    EXPECT_TRUE(server.AcquiredWithin(kGetsIn));
  }
  CloseGlobalMutex(opened);
  CloseGlobalMutex(again);
  CloseGlobalMutex(created);
}

TEST_F(PlatformTest, GlobalMutexOfDeadOwnerGoesToNextWaiter) {
  GlobalMutex* mutex = nullptr;
  ASSERT_EQ(CreateGlobalMutex(&mutex).code(), CACHE_OK);
  std::thread([&] { LockGlobalMutex(mutex); }).join();  // ends without releasing

  ASSERT_EQ(LockGlobalMutex(mutex), LockOutcome::OwnerDied);
  MarkGlobalMutexConsistent(mutex);
  {
    // Still a working mutex afterwards: it excludes others and can be handed on.
    Contender other([&] { EXPECT_EQ(LockGlobalMutex(mutex), LockOutcome::Taken); },
                    [&] { UnlockGlobalMutex(mutex); });
    EXPECT_FALSE(other.AcquiredWithin(kBlocked));
    UnlockGlobalMutex(mutex);
    EXPECT_TRUE(other.AcquiredWithin(kGetsIn));
  }
  CloseGlobalMutex(mutex);
}

// ---- Process lock -------------------------------------------------------------------

TEST_F(PlatformTest, ProcessMutexIsReentrantAndExcludesOtherThreads) {
  ProcessMutex* mutex = CreateProcessMutex();
  ASSERT_NE(mutex, nullptr);
  LockProcessMutex(mutex);
  LockProcessMutex(mutex);
  {
    Contender other([&] { LockProcessMutex(mutex); }, [&] { UnlockProcessMutex(mutex); });
    UnlockProcessMutex(mutex);
    EXPECT_FALSE(other.AcquiredWithin(kBlocked));
    UnlockProcessMutex(mutex);
    EXPECT_TRUE(other.AcquiredWithin(kGetsIn));
  }
  DestroyProcessMutex(mutex);
}

// ---- Shared section -----------------------------------------------------------------

constexpr uint32_t kOddSize = 3 * 4096 + 100;  // not a whole number of pages

// A server makes the global cache mutex before its section, and holds it while it
// serves: for the tests of the section alone.
class ServerMutex {
 public:
  ServerMutex() { EXPECT_EQ(CreateGlobalMutex(&mutex_).code(), CACHE_OK); }
  ~ServerMutex() {
    if (mutex_) CloseGlobalMutex(mutex_);
  }

 private:
  GlobalMutex* mutex_ = nullptr;
};

TEST_F(PlatformTest, NoViewBeforeCreate) {
  RegionView* view = nullptr;
  void* base = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(AcquireRegionView(&view, &base, &size).code(), CACHE_E_OPEN_MAPPING);
  EXPECT_EQ(view, nullptr);
}

TEST_F(PlatformTest, NewSectionIsZeroFilledAndLargeEnough) {
  const ServerMutex mutex;
  Section* section = nullptr;
  ASSERT_EQ(CreateSection(kOddSize, &section).code(), CACHE_OK);
  void* view = nullptr;
  std::size_t size = 0;
  ASSERT_TRUE(MapSection(section, &view, &size).ok());
  ASSERT_GE(size, kOddSize);
  // Every byte the caller may touch reads as zero (and reading it does not fault).
  const auto* bytes = static_cast<const unsigned char*>(view);
  std::size_t firstNonZero = 0;
  while (firstNonZero < size && bytes[firstNonZero] == 0) ++firstNonZero;
  EXPECT_EQ(firstNonZero, size);
  EXPECT_TRUE(UnmapSection(section, view, size).ok());
  CloseSection(section);
}

TEST_F(PlatformTest, ViewsOfOneSectionShareTheirBytes) {
  const ServerMutex mutex;
  Section* server = nullptr;
  ASSERT_EQ(CreateSection(kOddSize, &server).code(), CACHE_OK);
  void* serverView = nullptr;
  std::size_t serverSize = 0;
  ASSERT_TRUE(MapSection(server, &serverView, &serverSize).ok());

  RegionView* client = nullptr;
  void* clientView = nullptr;
  std::size_t clientSize = 0;
  ASSERT_EQ(AcquireRegionView(&client, &clientView, &clientSize).code(), CACHE_OK);
  EXPECT_GE(clientSize, kOddSize);

  auto* s = static_cast<unsigned char*>(serverView);
  auto* c = static_cast<unsigned char*>(clientView);
  s[0] = 0x5a;
  s[kOddSize - 1] = 0xa5;
  EXPECT_TRUE(FlushView(serverView, serverSize).ok());
  EXPECT_EQ(c[0], 0x5a);
  EXPECT_EQ(c[kOddSize - 1], 0xa5);
  c[4096] = 0x42;
  EXPECT_EQ(s[4096], 0x42);

  ReleaseRegionView(client);
  EXPECT_TRUE(UnmapSection(server, serverView, serverSize).ok());
  CloseSection(server);
}

TEST_F(PlatformTest, SectionIsGoneOnceClosed) {
  const ServerMutex mutex;
  Section* section = nullptr;
  ASSERT_EQ(CreateSection(kOddSize, &section).code(), CACHE_OK);
  CloseSection(section);
  RegionView* view = nullptr;
  void* base = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(AcquireRegionView(&view, &base, &size).code(), CACHE_E_OPEN_MAPPING);
}

#ifndef _WIN32
// Whether this process has the shm object `name` mapped.
bool MappedHere(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() >= name.size() &&
        line.compare(line.size() - name.size(), name.size(), name) == 0) {
      return true;
    }
  }
  return false;
}

// A client's view outlives its call only while the thread holds the mutex beside which
// servers record the region, and only until a server replaces the region.
TEST_F(PlatformTest, AViewIsKeptUnderTheMutexUntilTheRegionIsReplaced) {
  GlobalMutex* mutex = nullptr;
  ASSERT_EQ(CreateGlobalMutex(&mutex).code(), CACHE_OK);
  ASSERT_EQ(LockGlobalMutex(mutex), LockOutcome::Taken);
  Section* server = nullptr;
  ASSERT_EQ(CreateSection(kOddSize, &server).code(), CACHE_OK);
  void* base = nullptr;
  std::size_t size = 0;
  RegionView* first = nullptr;
  ASSERT_TRUE(AcquireRegionView(&first, &base, &size).ok());
  ReleaseRegionView(first);
  EXPECT_TRUE(MappedHere("/dev/shm" + ObjectName(kSectionName)));
  RegionView* again = nullptr;
  ASSERT_TRUE(AcquireRegionView(&again, &base, &size).ok());
  EXPECT_EQ(again, first);  // the same view, not a new open
  ReleaseRegionView(again);

  // A new region under the name: the kept view is not handed out again.
  CloseSection(server);
  ASSERT_EQ(CreateSection(kOddSize, &server).code(), CACHE_OK);
  void* serverBase = nullptr;
  std::size_t serverSize = 0;
  ASSERT_TRUE(MapSection(server, &serverBase, &serverSize).ok());
  static_cast<unsigned char*>(serverBase)[0] = 0x77;
  RegionView* current = nullptr;
  ASSERT_TRUE(AcquireRegionView(&current, &base, &size).ok());
  EXPECT_EQ(0x77, static_cast<unsigned char*>(base)[0]);
  ReleaseRegionView(current);
  UnlockGlobalMutex(mutex);

  // Without the mutex nothing vouches for a kept view: the call gets one of its own.
  RegionView* unguarded = nullptr;
  ASSERT_TRUE(AcquireRegionView(&unguarded, &base, &size).ok());
  EXPECT_NE(unguarded, current);
  ReleaseRegionView(unguarded);

  EXPECT_TRUE(UnmapSection(server, serverBase, serverSize).ok());
  CloseSection(server);
  CloseGlobalMutex(mutex);
}
#endif

#ifndef _WIN32
// An object shrunk between a call's size check and its access: inside a call the fault
// costs the process nothing, the view is refused until the object is whole again, and
// then it is the object's again.
TEST_F(PlatformTest, AFaultInAShrunkViewDuringACallIsSurvivedAndRefusedAfter) {
  const ServerMutex mutex;
  Section* section = nullptr;
  ASSERT_EQ(CreateSection(kOddSize, &section).code(), CACHE_OK);
  void* view = nullptr;
  std::size_t size = 0;
  ASSERT_TRUE(MapSection(section, &view, &size).ok());
  auto* bytes = static_cast<volatile unsigned char*>(view);
  bytes[8192] = 0x11;
  const int fd = shm_open(ObjectName(kSectionName).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, 0));
  {
    const CallGuard call;
    EXPECT_EQ(0, bytes[8192]);  // a page of zeros, not a SIGBUS
    bytes[8192] = 0x22;         // lost with the page
  }
  EXPECT_TRUE(CallFaulted());  // the call's answer becomes a code
  EXPECT_TRUE(MappingDamaged(view));
  EXPECT_EQ(CheckSectionSize(section, view, size).code(), CACHE_E_MAP_VIEW);
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
  const unsigned char marker = 0x33;
  ASSERT_EQ(1, pwrite(fd, &marker, 1, 8192));
  EXPECT_TRUE(CheckSectionSize(section, view, size).ok());
  EXPECT_FALSE(MappingDamaged(view));
  {
    const CallGuard next;
    EXPECT_EQ(0x33, bytes[8192]);  // the object's bytes again
  }
  EXPECT_FALSE(CallFaulted());
  close(fd);
  EXPECT_TRUE(UnmapSection(section, view, size).ok());
  CloseSection(section);
}
#endif

// ---- Object names -------------------------------------------------------------------

TEST_F(PlatformTest, PrefixGoesBetweenNamespaceAndBaseName) {
#ifdef _WIN32
  const std::string ns = "Global\\";
#else
  const std::string ns = "/";
#endif
  EXPECT_EQ(ObjectName(kSectionName), ns + prefix_ + "ZOLMAR_ORVCACHE");
  SetPrefix("");  // empty counts as unset
  EXPECT_EQ(ObjectName(kSectionName), ns + "ZOLMAR_ORVCACHE");
  SetPrefix(nullptr);
  EXPECT_EQ(ObjectName(kCacheMutexName), ns + "ZOLMAR_ORVCACHE_MUTEX");
}

TEST_F(PlatformTest, ObjectsUnderAnotherPrefixAreNotFound) {
  GlobalMutex* mutex = nullptr;
  ASSERT_EQ(CreateGlobalMutex(&mutex).code(), CACHE_OK);
  Section* section = nullptr;
  ASSERT_EQ(CreateSection(kOddSize, &section).code(), CACHE_OK);

  SetPrefix((prefix_ + "other_").c_str());
  GlobalMutex* otherMutex = nullptr;
  EXPECT_EQ(OpenGlobalMutex(&otherMutex).code(), CACHE_E_MUTEX_OPEN);
  RegionView* otherView = nullptr;
  void* base = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(AcquireRegionView(&otherView, &base, &size).code(), CACHE_E_OPEN_MAPPING);

  CloseSection(section);
  CloseGlobalMutex(mutex);
}

// ---- The cache's hold on the mutex ------------------------------------------------

// A call whose lock cannot be taken fails and writes nothing, rather than running
// unguarded.
#ifndef _WIN32
TEST_F(PlatformTest, CallsFailWhenTheMutexCannotBeTaken) {
  ASSERT_EQ(InitializeTQ5ORVCacheServer(), CACHE_OK);
  ASSERT_EQ(InitializeCacheDataSharedMemory(), CACHE_OK);
  GlobalMutex* mutex = nullptr;
  ASSERT_EQ(OpenGlobalMutex(&mutex).code(), CACHE_OK);
  // An owner dies, and the next one releases it without marking it consistent: the
  // mutex can never be taken again.
  std::thread([&] { LockGlobalMutex(mutex); }).join();
  ASSERT_EQ(LockGlobalMutex(mutex), LockOutcome::OwnerDied);
  UnlockGlobalMutex(mutex);
  EXPECT_EQ(LockGlobalMutex(mutex), LockOutcome::Failed);

  EXPECT_EQ(PutConfigurationData(-1, 5), CACHE_E_MUTEX_OPEN);
  EXPECT_EQ(ClientPutUserProperties(-1, 3, -1), CACHE_E_MUTEX_OPEN);
  EXPECT_EQ(WriteCacheDataToFile(), CACHE_E_FILE_CREATE);  // no cache folder in this test
  tq5test::RawRegion raw;
  ASSERT_TRUE(raw.mapped());
  EXPECT_EQ(raw.header().configValue, 300);
  EXPECT_EQ(raw.header().userHighWater, 0);
  EXPECT_EQ(UninitializeCacheDataSharedMemory(), CACHE_E_MUTEX_OPEN);
  UninitializeTQ5ORVCache();
  CloseGlobalMutex(mutex);
}
#endif

// The shut-down may close the process's handle while another thread is inside a call;
// that call still releases the machine-wide mutex it took.
TEST_F(PlatformTest, ShutDownDuringACallStillReleasesTheMutexItTook) {
  ASSERT_EQ(InitializeTQ5ORVCacheServer(), CACHE_OK);
  GlobalMutex* other = nullptr;  // keeps the mutex in being where it dies with its handles
  ASSERT_EQ(OpenGlobalMutex(&other).code(), CACHE_OK);
  std::atomic<int> phase{0};
  auto waitFor = [&phase](int value) {
    while (phase.load() != value) std::this_thread::sleep_for(1ms);
  };
  std::thread holder([&] {
    {
      region::CacheLock lock;
      phase = 1;
      waitFor(2);
    }
    phase = 3;
    waitFor(4);  // alive, so that no owner death hands the mutex on
  });
  waitFor(1);
  EXPECT_EQ(UninitializeTQ5ORVCache(), CACHE_OK);
  phase = 2;
  waitFor(3);
  {
    Contender contender([&] { LockGlobalMutex(other); }, [&] { UnlockGlobalMutex(other); });
    EXPECT_TRUE(contender.AcquiredWithin(kGetsIn / 5));
    phase = 4;
  }
  holder.join();
  CloseGlobalMutex(other);
}

// ---- Files --------------------------------------------------------------------------

TEST_F(PlatformTest, ReplaceFileMovesOverAnExistingFile) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / prefix_;
  fs::create_directories(folder);
  const std::string from = folder.string() + kPathSeparator + "cache.new";
  const std::string to = folder.string() + kPathSeparator + "cache.dat";
  std::ofstream(to) << "old";

  const FileHandle file = Files().create(from.c_str(), tq5::platform::ObjectAccess{});
  ASSERT_NE(file, kNoFile);
  EXPECT_TRUE(Files().write(file, "new", 3));
  EXPECT_TRUE(Files().sync(file));
  EXPECT_TRUE(Files().close(file));

  EXPECT_TRUE(MoveFileOver(from, to).ok());
  std::ifstream in(to);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
  EXPECT_FALSE(fs::exists(from));
  in.close();
  fs::remove_all(folder);
}

}  // namespace
}  // namespace tq5::platform
