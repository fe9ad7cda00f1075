// The internal pieces that the user cache shares: the text comparison and the role
// table's lookups and release rule, over a table in ordinary memory of exactly the
// region's size, so that the sanitizers see any step outside it.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "region/text.h"
#include "roles/role_table.h"

namespace {

using tq5::region::EqualsIgnoringAsciiCase;
using tq5::region::IsTerminated;
using tq5::region::TextField;
using namespace tq5::roles;

void Set(TextField& field, const char* text) {
  std::memset(field, 0x5A, sizeof field);  // leftovers after the NUL
  std::strcpy(field, text);
}

TEST(Text, ComparesWholeTextsFoldingOnlyAsciiLetters) {
  TextField a, b;
  Set(a, "Admin.Role");
  Set(b, "aDMIN.rOLE");
  EXPECT_TRUE(EqualsIgnoringAsciiCase(a, b));
  Set(b, "aDMIN.rOLE2");
  EXPECT_FALSE(EqualsIgnoringAsciiCase(a, b));
  // Characters 0x20 apart that are not letters, and bytes above ASCII, stay distinct.
  Set(a, "[x]@");
  Set(b, "{x}`");
  EXPECT_FALSE(EqualsIgnoringAsciiCase(a, b));
  Set(a, "\xC4");
  Set(b, "\xE4");
  EXPECT_FALSE(EqualsIgnoringAsciiCase(a, b));
  // Fields without their NUL are compared over their 64 bytes and no further.
  std::memset(a, 'x', sizeof a);
  std::memset(b, 'X', sizeof b);
  EXPECT_FALSE(IsTerminated(a));
  EXPECT_TRUE(EqualsIgnoringAsciiCase(a, b));
  b[63] = 'y';
  EXPECT_FALSE(EqualsIgnoringAsciiCase(a, b));
  b[63] = '\0';
  EXPECT_TRUE(IsTerminated(b));
}

// A region of four role slots and no user slots, in memory of exactly its size.
class Routines : public ::testing::Test {
 protected:
  void SetUp() override {
    header().roleCapacity = 4;
    ASSERT_EQ(CACHE_OK, tq5::region::RegionTables::Bind({bytes(), memory_.size() * 8}, &tables_));
  }
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(memory_.data()); }
  CacheHeader& header() { return *reinterpret_cast<CacheHeader*>(bytes()); }
  RoleTable table() const { return RoleTable(tables_); }
  void Occupy(int32_t index, const char* name, int32_t listed, int32_t userRefs) {
    RoleEntry role{};
    role.inUse = 1;
    role.listed = listed;
    role.userRefs = userRefs;
    Set(role.name, name);
    Set(role.id, "id");
    table().Place(index, role);
  }

  std::vector<uint64_t> memory_ = std::vector<uint64_t>((32 + 4 * 144) / 8);
  tq5::region::RegionTables tables_;
};

TEST_F(Routines, LookupsStayWithinTheTableWhateverTheyAreAsked) {
  Occupy(0, "a", 1, 0);
  Occupy(1, "b", 1, 0);
  Occupy(2, "c", 1, 0);
  table().at(1)->inUse = 0;
  header().roleActiveCount = 2;
  RoleNameId key{};
  Set(key.name, "C");
  Set(key.id, "ID");
  EXPECT_EQ(2, FindRoleEntry(key, INT_MAX, table()));
  EXPECT_EQ(-1, FindRoleEntry(key, 2, table()));
  EXPECT_EQ(-1, FindRoleEntry(key, -5, table()));
  Set(key.name, "b");  // free slots never match
  EXPECT_EQ(-1, FindRoleEntry(key, 4, table()));

  EXPECT_EQ(1, FindFreeRoleSlot(INT_MAX, table()));
  EXPECT_EQ(0, FindFreeRoleSlot(-3, table()));
  Occupy(1, "b", 1, 0);
  EXPECT_EQ(3, FindFreeRoleSlot(3, table()));
  Occupy(3, "d", 1, 0);
  EXPECT_EQ(4, FindFreeRoleSlot(INT_MAX, table()));  // no room
  EXPECT_EQ(4, header().roleHighWater);
  EXPECT_EQ(4, header().roleActiveCount);
}

TEST_F(Routines, ReleaseRuleFreesOnlyUnlistedUnheldLiveEntries) {
  Occupy(0, "listed", 1, 0);
  Occupy(1, "held", 0, 2);
  Occupy(2, "unused", 0, 0);
  Occupy(3, "dead", 0, 0);
  header().roleHighWater = 3;  // slot 3 is now beyond the mark
  header().roleActiveCount = 3;
  for (int64_t index : {-1LL, 0LL, 1LL, 3LL, 4LL, 1LL << 40}) {
    EXPECT_FALSE(ReleaseRoleIfUnused(table(), index)) << index;
  }
  EXPECT_TRUE(ReleaseRoleIfUnused(table(), 2));
  EXPECT_FALSE(ReleaseRoleIfUnused(table(), 2));
  EXPECT_EQ(0, table().at(2)->inUse);
  EXPECT_STREQ("unused", table().at(2)->name);  // only inUse changes
  EXPECT_EQ(2, header().roleActiveCount);
  EXPECT_EQ(3, header().roleHighWater);
  // A damaged count is never driven below zero.
  header().roleActiveCount = 0;
  table().at(1)->userRefs = 0;
  EXPECT_TRUE(ReleaseRoleIfUnused(table(), 1));
  EXPECT_EQ(0, header().roleActiveCount);
}

}  // namespace
