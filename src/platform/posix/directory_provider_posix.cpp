// The component on POSIX: no apartments, and a provider chosen by the machine-wide
// setting "directory" (platform/settings.h; TQ5ORVCACHE_DIRECTORY overrides it) each time
// an object is created: unset, empty or "nss" for the machine's user and group database,
// "file:/absolute/path" for a directory file. Any other value is a configuration mistake
// and fails the creation rather than quietly asking someone else. A held object looks at
// the setting again at each fetch (StillChosen), so that a process follows a change.
#include <new>

#include "platform/directory_component.h"
#include "platform/platform.h"
#include "platform/posix/directory_providers_posix.h"
#include "platform/settings.h"
#include "platform/utf8_text.h"

namespace tq5::platform {

namespace posix {

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (std::size_t at = 0; at < text.size();) {
    wide.push_back(static_cast<wchar_t>(NextCodePoint(text, &at)));
  }
  return wide;
}

bool Narrow(const std::wstring& text, std::string* out) {
  out->clear();
  for (wchar_t c : text) {
    if (!AppendCodePoint(static_cast<char32_t>(c), out)) return false;
  }
  return true;
}

bool ArrayStrings::IsStringArray() const { return array_.shape != DirectoryArray::Shape::NotArray; }

bool ArrayStrings::Bounds(int32_t* lower, int32_t* upper) const {
  if (array_.shape != DirectoryArray::Shape::Strings) return false;
  *lower = array_.lowerBound;
  *upper = static_cast<int32_t>(static_cast<int64_t>(array_.lowerBound) +
                                static_cast<int64_t>(array_.elements.size()) - 1);
  return true;
}

bool ArrayStrings::Element(int32_t index, std::wstring* text) const {
  if (array_.shape != DirectoryArray::Shape::Strings || index < 0) return false;
  const auto position = static_cast<std::size_t>(index);
  if (!array_.Readable(position)) return false;
  *text = Widen(array_.elements[position]);
  return true;
}

namespace {

// The setting's value, with the default spelled out.
std::string ChosenDirectory() {
  const std::string value = ReadSetting("directory").value;
  return value.empty() ? "nss" : value;
}

}  // namespace

bool IsChosenDirectory(const std::string& choice) { return ChosenDirectory() == choice; }

}  // namespace posix

ApartmentJoin JoinApartment() { return ApartmentJoin::Joined; }

void LeaveApartment() {}

DirectoryObject* CreateDirectoryObject() {
  const std::string value = posix::ChosenDirectory();
  if (value == "nss") return posix::CreateNssDirectory();
  const std::string filePrefix = "file:";
  if (value.compare(0, filePrefix.size(), filePrefix) == 0 && value.size() > filePrefix.size() &&
      value[filePrefix.size()] == '/') {
    return posix::CreateFileDirectory(value.substr(filePrefix.size()));
  }
  return nullptr;
}

bool ToComponentString(const char* text, std::wstring* out) {
  if (!text) return false;
  try {
    *out = posix::Widen(text);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::string FromComponentString(const std::wstring& text) {
  std::string bytes;
  for (wchar_t c : text) {
    if (c == L'\0') break;
    if (!AppendCodePoint(static_cast<char32_t>(c), &bytes)) bytes.push_back('?');
  }
  return bytes;
}

}  // namespace tq5::platform
