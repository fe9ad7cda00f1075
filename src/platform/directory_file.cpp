#include "platform/directory_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

#include "platform/ascii.h"

namespace tq5::platform {
namespace {

bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t* out) {
  std::size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) at = 1;
  if (at == text.size()) return false;
  int64_t value = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
    if (value > max - min) return false;  // already out of range; stop before overflow
  }
  if (negative) value = -value;
  if (value < min || value > max) return false;
  *out = value;
  return true;
}

// FNV-1a over the key as the comparison sees it: letters folded to lower case, and the
// domain's length mixed in so that the split between domain and user counts.
uint32_t HashKey(const char* domainName, std::size_t domainSize, const char* userName,
                 std::size_t userSize) {
  uint32_t hash = 2166136261u ^ static_cast<uint32_t>(domainSize);
  auto mix = [&hash](const char* text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      hash ^= static_cast<unsigned char>(LowerAscii(text[i]));
      hash *= 16777619u;
    }
  };
  mix(domainName, domainSize);
  mix(userName, userSize);
  return hash;
}

}  // namespace

bool DirectoryArray::Readable(std::size_t position) const {
  if (position >= elements.size()) return false;
  return std::find(unreadable.begin(), unreadable.end(), static_cast<int32_t>(position)) ==
         unreadable.end();
}

bool DirectoryFile::Load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  return Parse(text.str(), error);
}

bool DirectoryFile::Parse(const std::string& text, std::string* error) {
  text_ = text;
  return ParseText(error);
}

bool DirectoryFile::Parse(std::string&& text, std::string* error) {
  text_ = std::move(text);
  return ParseText(error);
}

// The fields of one line, split at each TAB. Only the first five are kept, as no line
// has more; the rest are counted and checked for emptiness.
struct DirectoryFile::Fields {
  static constexpr std::size_t kKept = 5;
  std::string_view field[kKept];
  std::size_t count = 0;
  bool anyEmpty = false;

  explicit Fields(std::string_view line) {
    std::size_t at = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', at);
      const std::string_view one =
          line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at);
      if (one.empty()) anyEmpty = true;
      if (count < kKept) field[count] = one;
      ++count;
      if (tab == std::string_view::npos) return;
      at = tab + 1;
    }
  }
  std::string_view operator[](std::size_t i) const { return field[i]; }
};

void DirectoryFile::Clear() {
  text_.clear();
  lines_.clear();
  users_.clear();
  createFails_ = false;
  initializeFailure_ = InitializeFailure::Never;
}

bool DirectoryFile::ParseText(std::string* error) {
  lines_.clear();
  users_.clear();
  createFails_ = false;
  initializeFailure_ = InitializeFailure::Never;
  // Lines refer into the text by 32-bit positions.
  if (text_.size() > UINT32_MAX) {
    if (error) *error = "the file is larger than 4 GiB";
    Clear();
    return false;
  }
  const std::string_view text(text_);
  std::size_t at = 0;
  for (std::size_t number = 1; at < text.size(); ++number) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos || line[0] == '#') continue;
    std::string why;
    if (!ParseLine(Fields(line), &why)) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      Clear();
      return false;
    }
  }
  Index();
  return true;
}

bool DirectoryFile::ParseLine(const Fields& fields, std::string* error) {
  const std::size_t count = fields.count;
  if (fields.anyEmpty) {
    *error = "an empty field (fields are separated by exactly one TAB)";
    return false;
  }
  // Directives about the whole directory stand in the first field.
  if (fields[0][0] == '@') {
    if (fields[0] == "@create-fail" && count == 1) {
      createFails_ = true;
    } else if (fields[0] == "@init-fail" && count == 2 && fields[1] == "used") {
      initializeFailure_ = InitializeFailure::Used;
    } else if (fields[0] == "@init-fail" && count == 2 && fields[1] == "always") {
      initializeFailure_ = InitializeFailure::Always;
    } else {
      *error = "unknown directive " + std::string(fields[0]);
      return false;
    }
    return true;
  }
  if (count < 2) {
    *error = "a user line needs a domain and a user";
    return false;
  }
  auto span = [this](std::string_view field) {
    return Span{static_cast<uint32_t>(field.data() - text_.data()),
                static_cast<uint32_t>(field.size())};
  };
  Line line;
  line.domainName = span(fields[0]);
  line.userName = span(fields[1]);
  if (count == 2) {
    line.kind = Line::Kind::Declare;
    lines_.push_back(line);
    return true;
  }
  const std::string_view third = fields[2];
  if (third[0] != '@') {
    if (count != 4) {
      *error = "a role line needs a role name and a role id";
      return false;
    }
    line.kind = Line::Kind::Role;
    line.first = span(third);
    line.second = span(fields[3]);
    lines_.push_back(line);
    return true;
  }
  // Which of the two arrays a shape directive is about.
  auto whichArray = [&](std::string_view field) {
    if (field == "names" || field == "ids") {
      line.names = field == "names";
      return true;
    }
    *error = std::string(third) + " takes names or ids";
    return false;
  };
  bool ok = true;
  if (third == "@fail" && count == 3) {
    line.kind = Line::Kind::Fail;
  } else if (third == "@delay" && count == 4) {
    line.kind = Line::Kind::Delay;
    ok = ParseInteger(fields[3], 0, UINT32_MAX - 1, &line.number);
    if (!ok) *error = "@delay takes milliseconds from 0 to 4294967294";
  } else if (third == "@not-array" && count == 4) {
    line.kind = Line::Kind::NotArray;
    ok = whichArray(fields[3]);
  } else if (third == "@no-array" && count == 4) {
    line.kind = Line::Kind::NoArray;
    ok = whichArray(fields[3]);
  } else if (third == "@lower-bound" && count == 4) {
    line.kind = Line::Kind::LowerBound;
    ok = ParseInteger(fields[3], -kMaxDirectoryLowerBound, kMaxDirectoryLowerBound, &line.number);
    if (!ok) *error = "@lower-bound takes a number from -1048576 to 1048576";
  } else if (third == "@extra-name" && count == 4) {
    line.kind = Line::Kind::ExtraName;
    line.first = span(fields[3]);
  } else if (third == "@extra-id" && count == 4) {
    line.kind = Line::Kind::ExtraId;
    line.first = span(fields[3]);
  } else if (third == "@unreadable" && count == 5) {
    line.kind = Line::Kind::Unreadable;
    ok = whichArray(fields[3]) && ParseInteger(fields[4], 0, INT32_MAX, &line.number);
    if (!ok && error->empty()) *error = "@unreadable takes a position from 0";
  } else {
    *error = "unknown directive " + std::string(third) + " or wrong number of fields";
    return false;
  }
  if (ok) lines_.push_back(line);
  return ok;
}

void DirectoryFile::Index() {
  if (lines_.empty()) return;
  // At most half full, so that a probe ends soon; there are at most as many users as lines.
  std::size_t capacity = 16;
  while (capacity < lines_.size() * 2) capacity *= 2;
  users_.assign(capacity, User{});
  const char* text = text_.data();
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    const uint32_t hash = HashKey(text + line.domainName.at, line.domainName.size,
                                  text + line.userName.at, line.userName.size);
    User& user = users_[FindUser(hash, text + line.domainName.at, line.domainName.size,
                                 text + line.userName.at, line.userName.size)];
    if (user.first < 0) {
      user.hash = hash;
      user.first = static_cast<int32_t>(i);
    } else {
      lines_[static_cast<std::size_t>(user.last)].next = static_cast<int32_t>(i);
    }
    user.last = static_cast<int32_t>(i);
  }
}

std::size_t DirectoryFile::FindUser(uint32_t hash, const char* domainName, std::size_t domainSize,
                                    const char* userName, std::size_t userSize) const {
  const std::size_t mask = users_.size() - 1;
  const std::string_view domain(domainName, domainSize);
  const std::string_view user(userName, userSize);
  for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const User& entry = users_[slot];
    if (entry.first < 0) return slot;
    if (entry.hash != hash) continue;
    const Line& line = lines_[static_cast<std::size_t>(entry.first)];
    if (EqualIgnoringAsciiCase(View(line.domainName), domain) &&
        EqualIgnoringAsciiCase(View(line.userName), user)) {
      return slot;
    }
  }
}

DirectoryAnswer DirectoryFile::AnswerFor(const std::string& domainName,
                                         const std::string& userName) const {
  DirectoryAnswer answer;
  if (users_.empty()) return answer;
  const uint32_t hash =
      HashKey(domainName.data(), domainName.size(), userName.data(), userName.size());
  const User& user = users_[FindUser(hash, domainName.data(), domainName.size(), userName.data(),
                                     userName.size())];
  uint64_t delay = 0;
  for (int32_t at = user.first; at >= 0; at = lines_[static_cast<std::size_t>(at)].next) {
    const Line& line = lines_[static_cast<std::size_t>(at)];
    answer.known = true;
    DirectoryArray& array = line.names ? answer.names : answer.ids;
    switch (line.kind) {
      case Line::Kind::Declare:
        break;
      case Line::Kind::Role:
        answer.names.elements.emplace_back(View(line.first));
        answer.ids.elements.emplace_back(View(line.second));
        break;
      case Line::Kind::Fail:
        answer.fail = true;
        break;
      case Line::Kind::Delay:
        delay = std::min<uint64_t>(delay + static_cast<uint64_t>(line.number), UINT32_MAX - 1);
        break;
      case Line::Kind::NotArray:
        array.shape = DirectoryArray::Shape::NotArray;
        break;
      case Line::Kind::NoArray:
        if (array.shape == DirectoryArray::Shape::Strings)
          array.shape = DirectoryArray::Shape::NoArray;
        break;
      case Line::Kind::LowerBound:
        answer.names.lowerBound = static_cast<int32_t>(line.number);
        answer.ids.lowerBound = static_cast<int32_t>(line.number);
        break;
      case Line::Kind::ExtraName:
        answer.names.elements.emplace_back(View(line.first));
        break;
      case Line::Kind::ExtraId:
        answer.ids.elements.emplace_back(View(line.first));
        break;
      case Line::Kind::Unreadable:
        array.unreadable.push_back(static_cast<int32_t>(line.number));
        break;
    }
  }
  answer.delayMs = static_cast<uint32_t>(delay);
  return answer;
}

std::vector<DirectoryRole> DirectoryFile::AllRoles() const {
  std::vector<DirectoryRole> roles;
  for (const Line& line : lines_) {
    if (line.kind != Line::Kind::Role) continue;
    const std::string_view name = View(line.first);
    const std::string_view id = View(line.second);
    const bool seen = std::any_of(roles.begin(), roles.end(), [&](const DirectoryRole& role) {
      return EqualIgnoringAsciiCase(role.name, name) && EqualIgnoringAsciiCase(role.id, id);
    });
    if (!seen) roles.push_back({std::string(name), std::string(id)});
  }
  return roles;
}

bool DirectoryFile::InitializeFails(bool initialisedBefore) const {
  switch (initializeFailure_) {
    case InitializeFailure::Never:
      return false;
    case InitializeFailure::Used:
      return initialisedBefore;
    case InitializeFailure::Always:
      return true;
  }
  return false;
}

}  // namespace tq5::platform
