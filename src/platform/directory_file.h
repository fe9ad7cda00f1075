// The directory file: a text file that stands in for the security directory, read by the
// POSIX file provider and by the Windows test server alike (docs/directory-file.md).
// Plain C++ with no system headers, so that both compile this one parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tq5::platform {

struct DirectoryRole {
  std::string name;
  std::string id;
};

// One out-array of GetUserRolesEx as the directory hands it back.
struct DirectoryArray {
  enum class Shape {
    Strings,   // a one-dimensional array of strings
    NotArray,  // an output of another type
    NoArray    // the string-array type, but carrying no array
  };
  Shape shape = Shape::Strings;
  int32_t lowerBound = 0;
  std::vector<std::string> elements;
  // Positions (0 = the element at the lower bound) whose element cannot be read.
  std::vector<int32_t> unreadable;

  bool Readable(std::size_t position) const;
};

// What the directory answers for one user.
struct DirectoryAnswer {
  bool known = false;    // false: the file does not name the user, and the call fails
  bool fail = false;     // the call fails
  uint32_t delayMs = 0;  // how long the directory waits before it answers
  DirectoryArray names;
  DirectoryArray ids;
};

enum class InitializeFailure {
  Never,
  Used,  // on an object that has been initialised before; a fresh one succeeds
  Always
};

// The greatest and least lower bound a file may give its arrays, so that no array's
// upper bound leaves the 32-bit range.
inline constexpr int32_t kMaxDirectoryLowerBound = 1 << 20;

class DirectoryFile {
 public:
  // Parses the file's text. False, with a message naming the line, when a line is not
  // in the format; nothing of such a file is used.
  bool Parse(const std::string& text, std::string* error);
  // Reads and parses the file at `path`.
  bool Load(const std::string& path, std::string* error);

  // The answer for a user; domain and user match without regard to ASCII case.
  DirectoryAnswer AnswerFor(const std::string& domainName, const std::string& userName) const;
  // Every distinct (name, id) pair of the file's role lines, in file order; pairs that
  // differ only in ASCII case count as one, spelt as they first appear.
  std::vector<DirectoryRole> AllRoles() const;

  bool createFails() const { return createFails_; }
  InitializeFailure initializeFailure() const { return initializeFailure_; }
  // Whether InitializeCache fails on an object that has (or has not) been initialised.
  bool InitializeFails(bool initialisedBefore) const;

 private:
  struct Line {
    enum class Kind {
      Declare,
      Role,
      Fail,
      Delay,
      NotArray,
      NoArray,
      LowerBound,
      ExtraName,
      ExtraId,
      Unreadable
    };
    Kind kind = Kind::Declare;
    std::string domainName;
    std::string userName;
    std::string first;   // role name, extra text
    std::string second;  // role id
    bool names = false;  // which array a shape directive is about
    int64_t number = 0;  // delay, lower bound, position
  };
  bool ParseLine(const std::vector<std::string>& fields, std::string* error);

  std::vector<Line> lines_;
  bool createFails_ = false;
  InitializeFailure initializeFailure_ = InitializeFailure::Never;
};

// Whether two texts are equal when A-Z and a-z count as the same.
bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b);

}  // namespace tq5::platform
