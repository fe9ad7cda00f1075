// Helpers shared by the tests: isolation of each test's kernel objects and cache folder,
// small file utilities, and second processes ("peers") for multi-process scenarios.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tq5orvcache.h"

namespace tq5test {

// Sets (or, with a null value, removes) a variable of this process's environment, which
// child processes inherit.
void SetEnv(const char* name, const char* value);

unsigned long ProcessId();

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// A cache file image: `header`, then both tables at the header's capacities, all zero.
std::string RegionImage(const CacheHeader& header);
void SleepMs(int ms);

// Every test gets kernel-object names and a cache folder of its own, so that tests
// running side by side never meet, and leaves the process without mutex or region.
class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts a server in this process: the global cache mutex and the region.
  void StartServer();
  std::string CacheFilePath() const;
  std::string PathInFolder(const std::string& name) const;

  std::string prefix_;
  std::string folder_;
};

// A view of the live region that goes around the library and its mutex, as a stray
// writer or a process that died half-way through a change would: for damaging the
// region's bytes on purpose. It maps the section of this test's prefix.
class RawRegion {
 public:
  RawRegion();
  ~RawRegion();
  RawRegion(const RawRegion&) = delete;
  RawRegion& operator=(const RawRegion&) = delete;

  bool mapped() const { return base_ != nullptr; }
  CacheHeader& header() const { return *reinterpret_cast<CacheHeader*>(base_); }
  RoleEntry& role(int32_t index) const;  // at the header's role capacity
  UserEntry& user(int32_t index) const;

 private:
  uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
  intptr_t handle_ = -1;
};

// A second process running tests/peer with the given arguments; it inherits this
// process's environment (and so its object prefix and cache folder).
class Peer {
 public:
  explicit Peer(const std::vector<std::string>& args);
  // The same with another program: a peer of another build (say, of the other bitness),
  // or any program taking ARGS.
  Peer(const std::string& program, const std::vector<std::string>& args);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Waits for the peer to end; its exit code.
  int Wait();
  void Kill();

 private:
  intptr_t handle_ = 0;
  bool done_ = false;
  int exitCode_ = -1;
};

// Runs a peer to its end; its exit code (0 = success, see tests/peer).
int RunPeer(const std::vector<std::string>& args);
int RunPeer(const std::string& program, const std::vector<std::string>& args);

// Waits until `path` exists, up to `timeoutMs`.
bool WaitForFile(const std::string& path, int timeoutMs = 20000);

}  // namespace tq5test
