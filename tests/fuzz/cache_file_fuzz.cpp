// The server's start-up from a cache file of arbitrary bytes: the bytes become the cache
// file, the start-up builds the region from it (or, refusing it, a default region), and
// the read paths run over what it built. The region must be the file's image exactly
// when the file is acceptable, and the default otherwise; writing it back must give the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_isolation.h"
#include "region/cache_image.h"
#include "tq5orvcache.h"

namespace {

std::string cacheFile;

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "cache file fuzz: %s\n", what);
  std::abort();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the start-up must make of these bytes: the header, and whether the tables came
// from the file.
bool Acceptable(const uint8_t* data, std::size_t size, CacheHeader* header) {
  if (size < sizeof *header) return false;
  std::memcpy(header, data, sizeof *header);
  return tq5::region::FindHeaderFault(*header) == tq5::region::HeaderFault::None &&
         size >= tq5::region::CacheImageSize(*header);
}

void ReadPaths(const CacheHeader& header) {
  // Listings with room for everything, and with room for one record only.
  std::vector<RoleEntry> roles(static_cast<std::size_t>(header.roleHighWater) + 1);
  for (int32_t room : {static_cast<int32_t>(roles.size()), 1}) {
    int32_t count = room;
    const ResultCode rc = GetAllRolesCacheDataSharedMemory(&count, roles.data());
    Check(rc == CACHE_OK || rc == CACHE_E_BUFFER_TOO_SMALL, "role listing failed");
    Check(count <= header.roleHighWater, "role listing counted past the mark");
    count = room;
    ClientGetAllActiveRolesCacheDataSharedMemory(&count, roles.data());
  }
  std::vector<UserEntry> users(static_cast<std::size_t>(header.userHighWater) + 1);
  int32_t userCount = static_cast<int32_t>(users.size());
  const ResultCode rc = ClientGetAllUsersCacheDataSharedMemory(&userCount, users.data());
  Check(rc == CACHE_OK, "user listing failed");
  Check(userCount <= header.userHighWater, "user listing counted past the mark");

  // Every listed user looked up by its own names: the entries hold arbitrary bytes, so
  // the names may lack their NUL or be empty, which the lookup must refuse cleanly.
  for (int32_t i = 0; i < userCount && i < 4; ++i) {
    const UserEntry& user = users[static_cast<std::size_t>(i)];
    const std::string domain(user.domainName, strnlen(user.domainName, sizeof user.domainName));
    const std::string name(user.userName, strnlen(user.userName, sizeof user.userName));
    RoleNameId found[TQ5ORVCACHE_MAX_USER_ROLES];
    int32_t count = TQ5ORVCACHE_MAX_USER_ROLES;
    ClientFindUserCurrentRoles(domain.c_str(), name.c_str(), &count, found);
    count = 1;
    ClientFindUserCurrentRoles(domain.c_str(), name.c_str(), &count, found);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cacheFile = (std::filesystem::path(tq5fuzz::IsolateProcess()) / "TQ5ORVCACHE.dat").string();
  Check(InitializeTQ5ORVCacheServer() == CACHE_OK, "no global cache mutex");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  {
    std::ofstream out(cacheFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  Check(InitializeCacheDataSharedMemory() == CACHE_OK, "start-up failed");

  CacheHeader expected{};
  const bool accepted = Acceptable(data, size, &expected);
  if (!accepted) {
    expected = CacheHeader{};
    expected.roleCapacity = tq5::region::kDefaultRoleCapacity;
    expected.userCapacity = tq5::region::kDefaultUserCapacity;
  }
  CacheHeader got{};
  Check(
      GetRoleProperties(&got.roleCapacity, &got.roleHighWater, &got.roleActiveCount) == CACHE_OK &&
          GetUserProperties(&got.userCapacity, &got.userHighWater, &got.userActiveCount) ==
              CACHE_OK,
      "header unreadable");
  Check(got.roleCapacity == expected.roleCapacity && got.roleHighWater == expected.roleHighWater &&
            got.roleActiveCount == expected.roleActiveCount &&
            got.userCapacity == expected.userCapacity &&
            got.userHighWater == expected.userHighWater &&
            got.userActiveCount == expected.userActiveCount,
        "region header is not the file's, nor the default");

  if (accepted) {
    // Written back before any lookup touches a last access time: the file's image,
    // except that the header goes in through the Put exports, for which -1 means "leave
    // as it is": such a value of the file stays 0 in the new region.
    std::string image(reinterpret_cast<const char*>(data), tq5::region::CacheImageSize(expected));
    CacheHeader stored = expected;
    if (stored.autoCommitRoles == -1) stored.autoCommitRoles = 0;
    if (stored.configValue == -1) stored.configValue = 0;
    std::memcpy(image.data(), &stored, sizeof stored);
    Check(WriteCacheDataToFile() == CACHE_OK, "writing the cache file failed");
    Check(ReadAll(cacheFile) == image, "the region is not the file's image");
  }
  ReadPaths(expected);
  Check(UninitializeCacheDataSharedMemory() == CACHE_OK, "shut-down failed");
  return 0;
}
