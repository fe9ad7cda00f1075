// GetTQ5ORVCacheErrorMessage: the fixed table, the unknown-code text and delivery into
// buffers of every size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tq5orvcache.h"

namespace {

std::string MessageOf(ResultCode code) {
  char buffer[2048];
  uint32_t length = sizeof buffer;
  GetTQ5ORVCacheErrorMessage(code, buffer, &length);
  EXPECT_EQ(std::strlen(buffer) + 1, length);
  return buffer;
}

TEST(Messages, FixedTextsLetterForLetter) {
  EXPECT_EQ("No error.", MessageOf(CACHE_OK));
  EXPECT_EQ("The shared memory already exists.", MessageOf(CACHE_E_REGION_EXISTS));
  EXPECT_EQ("NFailed to MapViewOfFile.", MessageOf(CACHE_E_MAP_VIEW));
  EXPECT_EQ("The length of the supplied domainname is either 0 or too long.",
            MessageOf(CACHE_E_BAD_DOMAIN_NAME));
  EXPECT_EQ("GetORVUserRoles - one of the role names of ids is too long.",
            MessageOf(CACHE_E_USER_FETCH_NAME_TOO_LONG));
  EXPECT_EQ("Cannot get TQ5 MERLOC_GROUP_NAME or ZOLMAR_VERSION environments.",
            MessageOf(CACHE_E_NO_GROUP_ENV));
  EXPECT_EQ("Invalid pointer in the input parameters.", MessageOf(CACHE_E_INVALID_POINTER));
}

TEST(Messages, EveryFailureCodeHasItsOwnText) {
  for (ResultCode code = -101; code >= -149; --code) {
    const std::string text = MessageOf(code);
    EXPECT_EQ(std::string::npos, text.find("unknown error")) << code;
    EXPECT_NE(MessageOf(code == -101 ? -102 : code + 1), text) << code;
  }
}

TEST(Messages, CodesOutsideTheTableNameThemselves) {
  EXPECT_EQ("unknown error = -100", MessageOf(-100));
  EXPECT_EQ("unknown error = -150", MessageOf(-150));
  EXPECT_EQ("unknown error = -200", MessageOf(-200));
  EXPECT_EQ("unknown error = 1", MessageOf(1));
  EXPECT_EQ("unknown error = 7", MessageOf(7));
  EXPECT_EQ("unknown error = -2147483648", MessageOf(INT32_MIN));
}

TEST(Messages, ShortBuffersGetATerminatedPrefixAndKeepTheirSize) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  uint32_t length = 10;
  GetTQ5ORVCacheErrorMessage(CACHE_E_REGION_ALREADY_OPEN, buffer, &length);
  EXPECT_STREQ("The share", buffer);
  EXPECT_EQ(10u, length);
  EXPECT_EQ('x', buffer[10]);  // nothing written past the stated size

  // Exactly the message length: no room for the NUL, so the last character goes.
  const std::string full = "No error.";
  length = static_cast<uint32_t>(full.size());
  GetTQ5ORVCacheErrorMessage(CACHE_OK, buffer, &length);
  EXPECT_EQ(full.substr(0, full.size() - 1), buffer);
  EXPECT_EQ(full.size(), length);

  length = static_cast<uint32_t>(full.size() + 1);
  GetTQ5ORVCacheErrorMessage(CACHE_OK, buffer, &length);
  EXPECT_EQ(full, buffer);
  EXPECT_EQ(full.size() + 1, length);

  length = 1;
  GetTQ5ORVCacheErrorMessage(CACHE_OK, buffer, &length);
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(1u, length);
}

TEST(Messages, ZeroSizeAndNullPointersWriteNothing) {
  char buffer[4] = {'a', 'b', 'c', 'd'};
  uint32_t length = 0;
  GetTQ5ORVCacheErrorMessage(CACHE_OK, buffer, &length);
  EXPECT_EQ(0u, length);
  EXPECT_EQ('a', buffer[0]);
  GetTQ5ORVCacheErrorMessage(CACHE_OK, nullptr, &length);
  GetTQ5ORVCacheErrorMessage(CACHE_OK, buffer, nullptr);
  EXPECT_EQ('a', buffer[0]);
}

}  // namespace
