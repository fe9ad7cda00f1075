// Several processes on one region: a server and clients in separate processes, the
// region's lifetime, and a process that dies holding the global cache mutex.
#include <gtest/gtest.h>

#include <chrono>

#include "support/test_support.h"
#include "tq5orvcache.h"

namespace {

using tq5test::Peer;
using tq5test::RunPeer;

class MultiProcess : public tq5test::CacheTest {};

TEST_F(MultiProcess, ClientProcessSharesTheServersRegion) {
  StartServer();
  ASSERT_EQ(CACHE_OK, PutConfigurationData(0, 4242));
  EXPECT_EQ(0, RunPeer({"client-expect-config", "0", "4242"}));
  EXPECT_EQ(0, RunPeer({"client-put-config", "1", "777"}));
  int32_t autoCommit = 0, config = 0;
  ASSERT_EQ(CACHE_OK, GetConfigurationData(&autoCommit, &config));
  EXPECT_EQ(1, autoCommit);
  EXPECT_EQ(777, config);
}

TEST_F(MultiProcess, ClientsBeforeAndAfterTheServer) {
  // No server has ever created the mutex.
  EXPECT_EQ(-CACHE_E_MUTEX_OPEN, RunPeer({"client-expect-config", "1", "300"}));

  const std::string ready = PathInFolder("ready"), stop = PathInFolder("stop");
  Peer server({"serve", ready, stop});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  EXPECT_EQ(0, RunPeer({"client-put-config", "0", "55"}));
  EXPECT_EQ(0, RunPeer({"client-expect-config", "0", "55"}));
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCache());
  int32_t config = 0;
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(55, config);

  tq5test::WriteFileBytes(stop, "stop");
  ASSERT_EQ(0, server.Wait());
  // The server shut its region down and wrote the cache file.
  EXPECT_EQ(CACHE_E_OPEN_MAPPING, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(1351712u, tq5test::ReadFileBytes(CacheFilePath()).size());

  // A new server starts from that file: the clients' change survived.
  Peer again({"serve", ready + "2", stop + "2"});
  ASSERT_TRUE(tq5test::WaitForFile(ready + "2"));
  EXPECT_EQ(CACHE_OK, ClientGetConfigurationData(nullptr, &config));
  EXPECT_EQ(55, config);
  tq5test::WriteFileBytes(stop + "2", "stop");
  EXPECT_EQ(0, again.Wait());
}

TEST_F(MultiProcess, OwnerDeathHandsTheMutexToTheNextWaiter) {
  StartServer();
  const std::string ready = PathInFolder("locked");
  Peer holder({"lock-and-die", ready, "300"});
  ASSERT_TRUE(tq5test::WaitForFile(ready));
  // This call waits on the mutex until the holder dies, then goes on.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CACHE_OK, PutConfigurationData(-1, 1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(7, holder.Wait());
  // And the mutex keeps working for every process afterwards.
  EXPECT_EQ(0, RunPeer({"client-expect-config", "1", "1"}));
  Peer second({"lock-and-die", ready + "2", "0"});
  EXPECT_EQ(7, second.Wait());
  EXPECT_EQ(CACHE_OK, PutConfigurationData(-1, 2));
  EXPECT_EQ(0, RunPeer({"client-expect-config", "1", "2"}));
}

}  // namespace
