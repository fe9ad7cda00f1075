// The directory file: a text file that stands in for the security directory, read by the
// POSIX file provider and by the Windows test server alike (docs/directory-file.md).
// Plain C++ with no system headers, so that both compile this one parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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
  // in the format; nothing of such a file is used. The text is kept, and the lines refer
  // into it, so that a parse allocates only for the line records and the index.
  bool Parse(const std::string& text, std::string* error);
  bool Parse(std::string&& text, std::string* error);
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
  // A piece of text_, by position, so that a copy of the object stays sound.
  struct Span {
    uint32_t at = 0;
    uint32_t size = 0;
  };
  struct Line {
    enum class Kind : uint8_t {
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
    bool names = false;  // which array a shape directive is about
    int32_t next = -1;   // the same user's next line, in file order; -1 for none
    Span domainName;
    Span userName;
    Span first;          // role name, extra text
    Span second;         // role id
    int64_t number = 0;  // delay, lower bound, position
  };
  // One user of the index: the hash of its (domain, user) key and its first and last
  // line. An open-addressed table, so that the index is two allocations, not one a user.
  struct User {
    uint32_t hash = 0;
    int32_t first = -1;  // -1: an empty slot
    int32_t last = -1;
  };
  struct Fields;

  bool ParseText(std::string* error);
  bool ParseLine(const Fields& fields, std::string* error);
  void Index();
  void Clear();
  std::string_view View(Span span) const {
    return std::string_view(text_).substr(span.at, span.size);
  }
  // The slot of the user's entry in users_, or of the empty slot where it would go.
  std::size_t FindUser(uint32_t hash, const char* domainName, std::size_t domainSize,
                       const char* userName, std::size_t userSize) const;

  std::string text_;
  std::vector<Line> lines_;
  std::vector<User> users_;  // a power of two in size, at most half full; empty: no users
  bool createFails_ = false;
  InitializeFailure initializeFailure_ = InitializeFailure::Never;
};

}  // namespace tq5::platform
