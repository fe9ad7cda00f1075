#include "platform/directory_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tq5::platform {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ParseInteger(const std::string& text, int64_t min, int64_t max, int64_t* out) {
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

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

bool IsBlank(const std::string& line) { return line.find_first_not_of(" \t") == std::string::npos; }

}  // namespace

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

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
  lines_.clear();
  createFails_ = false;
  initializeFailure_ = InitializeFailure::Never;
  std::size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (IsBlank(line) || line[0] == '#') continue;
    std::string why;
    if (!ParseLine(SplitTabs(line), &why)) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      lines_.clear();
      createFails_ = false;
      initializeFailure_ = InitializeFailure::Never;
      return false;
    }
  }
  return true;
}

bool DirectoryFile::ParseLine(const std::vector<std::string>& fields, std::string* error) {
  const std::size_t count = fields.size();
  for (const std::string& field : fields) {
    if (field.empty()) {
      *error = "an empty field (fields are separated by exactly one TAB)";
      return false;
    }
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
      *error = "unknown directive " + fields[0];
      return false;
    }
    return true;
  }
  if (count < 2) {
    *error = "a user line needs a domain and a user";
    return false;
  }
  Line line;
  line.domainName = fields[0];
  line.userName = fields[1];
  if (count == 2) {
    line.kind = Line::Kind::Declare;
    lines_.push_back(line);
    return true;
  }
  const std::string& third = fields[2];
  if (third[0] != '@') {
    if (count != 4) {
      *error = "a role line needs a role name and a role id";
      return false;
    }
    line.kind = Line::Kind::Role;
    line.first = third;
    line.second = fields[3];
    lines_.push_back(line);
    return true;
  }
  // Which of the two arrays a shape directive is about.
  auto whichArray = [&](const std::string& field) {
    if (field == "names" || field == "ids") {
      line.names = field == "names";
      return true;
    }
    *error = third + " takes names or ids";
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
    line.first = fields[3];
  } else if (third == "@extra-id" && count == 4) {
    line.kind = Line::Kind::ExtraId;
    line.first = fields[3];
  } else if (third == "@unreadable" && count == 5) {
    line.kind = Line::Kind::Unreadable;
    ok = whichArray(fields[3]) && ParseInteger(fields[4], 0, INT32_MAX, &line.number);
    if (!ok && error->empty()) *error = "@unreadable takes a position from 0";
  } else {
    *error = "unknown directive " + third + " or wrong number of fields";
    return false;
  }
  if (ok) lines_.push_back(line);
  return ok;
}

DirectoryAnswer DirectoryFile::AnswerFor(const std::string& domainName,
                                         const std::string& userName) const {
  DirectoryAnswer answer;
  uint64_t delay = 0;
  for (const Line& line : lines_) {
    if (!EqualIgnoringAsciiCase(line.domainName, domainName) ||
        !EqualIgnoringAsciiCase(line.userName, userName)) {
      continue;
    }
    answer.known = true;
    DirectoryArray& array = line.names ? answer.names : answer.ids;
    switch (line.kind) {
      case Line::Kind::Declare:
        break;
      case Line::Kind::Role:
        answer.names.elements.push_back(line.first);
        answer.ids.elements.push_back(line.second);
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
        answer.names.elements.push_back(line.first);
        break;
      case Line::Kind::ExtraId:
        answer.ids.elements.push_back(line.first);
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
    const bool seen = std::any_of(roles.begin(), roles.end(), [&](const DirectoryRole& role) {
      return EqualIgnoringAsciiCase(role.name, line.first) &&
             EqualIgnoringAsciiCase(role.id, line.second);
    });
    if (!seen) roles.push_back({line.first, line.second});
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
