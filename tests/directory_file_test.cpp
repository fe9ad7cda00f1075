// The directory file's parser. (Fetches that read a directory file: the POSIX provider's
// in directory_posix_test, the Windows test server's in directory_com_test.)
#include "platform/directory_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tq5 {
namespace {

using platform::DirectoryArray;
using platform::DirectoryFile;

std::vector<std::string> Names(const std::vector<platform::DirectoryRole>& roles) {
  std::vector<std::string> out;
  for (const auto& role : roles) out.push_back(role.name + "=" + role.id);
  return out;
}

TEST(DirectoryFileTest, ReadsUsersRolesAndTheCompleteRoleList) {
  DirectoryFile file;
  std::string error;
  ASSERT_TRUE(
      file.Parse("# plant directory\r\n"
                 "PLANT\talice\tOperator\tS-1\r\n"
                 "\n   \t\n"
                 "Plant\tbob\n"
                 "plant\tALICE\tEngineer\tS-2\n"
                 "Other\tcarol\toperator\ts-1\n"
                 "Other\tcarol\tAdmin\tS-9",
                 &error))
      << error;
  const auto alice = file.AnswerFor("plant", "Alice");
  EXPECT_TRUE(alice.known);
  EXPECT_EQ(alice.names.elements, (std::vector<std::string>{"Operator", "Engineer"}));
  EXPECT_EQ(alice.ids.elements, (std::vector<std::string>{"S-1", "S-2"}));
  const auto bob = file.AnswerFor("PLANT", "BOB");
  EXPECT_TRUE(bob.known && !bob.fail && bob.names.elements.empty() && bob.ids.elements.empty());
  EXPECT_FALSE(file.AnswerFor("Plant", "carol").known);  // users belong to their domain
  EXPECT_EQ(Names(file.AllRoles()),
            (std::vector<std::string>{"Operator=S-1", "Engineer=S-2", "Admin=S-9"}));
}

// Enough users that their index has to probe past taken slots and wrap around; each
// finds its own lines only, in any case of its letters, and a name split differently
// between domain and user is another user.
TEST(DirectoryFileTest, EveryUserOfALargeFileFindsItsOwnLines) {
  std::string text = "ab\tc\tSplit\tS-0\n";
  for (int u = 0; u < 300; ++u) {
    text += "D" + std::to_string(u % 3) + "\tuser" + std::to_string(u) + "\tR" + std::to_string(u) +
            "\tS-" + std::to_string(u) + "\n";
  }
  DirectoryFile file;
  std::string error;
  ASSERT_TRUE(file.Parse(text, &error)) << error;
  for (int u = 0; u < 300; ++u) {
    const auto answer = file.AnswerFor("d" + std::to_string(u % 3), "USER" + std::to_string(u));
    ASSERT_EQ(answer.ids.elements, std::vector<std::string>{"S-" + std::to_string(u)}) << u;
    EXPECT_FALSE(
        file.AnswerFor("d" + std::to_string((u + 1) % 3), "user" + std::to_string(u)).known);
  }
  EXPECT_FALSE(file.AnswerFor("a", "bc").known);
  EXPECT_FALSE(file.AnswerFor("D0", "user300").known);
}

TEST(DirectoryFileTest, RejectsMalformedLinesNamingThem) {
  const std::vector<std::string> bad = {"d\tu\tRole",
                                        "d\t\tR\t1",
                                        "d\tu\tR\t1\textra",
                                        "d",
                                        "d\tu\t@nope",
                                        "d\tu\t@delay\t-1",
                                        "d\tu\t@delay\tsoon",
                                        "d\tu\t@lower-bound\t2000000",
                                        "d\tu\t@not-array\tboth",
                                        "@init-fail\tsometimes",
                                        "@create-fail\tnow",
                                        "d\tu\t@unreadable\tnames"};
  for (const std::string& line : bad) {
    DirectoryFile file;
    std::string error;
    EXPECT_FALSE(file.Parse("# ok\nd\tu\tR\t1\n" + line + "\n", &error)) << line;
    EXPECT_EQ(error.rfind("line 3:", 0), 0u) << error;
    EXPECT_FALSE(file.AnswerFor("d", "u").known) << "nothing of a bad file is used";
  }
}

TEST(DirectoryFileTest, DirectivesShapeTheAnswer) {
  DirectoryFile file;
  std::string error;
  ASSERT_TRUE(
      file.Parse("d\tu\tR\t1\n"
                 "d\tu\t@extra-name\tLonely\n"
                 "d\tu\t@lower-bound\t-3\n"
                 "d\tu\t@unreadable\tids\t0\n"
                 "d\tu\t@not-array\tnames\n"
                 "d\tu\t@delay\t100\n"
                 "d\tu\t@delay\t25\n"
                 "d\tv\t@fail\n"
                 "d\tv\t@no-array\tids\n"
                 "@init-fail\tused\n"
                 "@create-fail\n",
                 &error))
      << error;
  const auto u = file.AnswerFor("d", "u");
  EXPECT_EQ(u.names.elements, (std::vector<std::string>{"R", "Lonely"}));
  EXPECT_EQ(u.names.shape, DirectoryArray::Shape::NotArray);
  EXPECT_EQ(u.ids.shape, DirectoryArray::Shape::Strings);
  EXPECT_EQ(u.ids.lowerBound, -3);
  EXPECT_FALSE(u.ids.Readable(0));
  EXPECT_EQ(u.delayMs, 125u);
  const auto v = file.AnswerFor("d", "v");
  EXPECT_TRUE(v.fail);
  EXPECT_EQ(v.ids.shape, DirectoryArray::Shape::NoArray);
  EXPECT_TRUE(file.createFails());
  EXPECT_TRUE(file.InitializeFails(true));
  EXPECT_FALSE(file.InitializeFails(false));
}

}  // namespace
}  // namespace tq5
