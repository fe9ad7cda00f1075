// The component on POSIX: no apartments, and a provider chosen by the machine-wide
// setting "directory" (platform/settings.h; TQ5ORVCACHE_DIRECTORY overrides it) each time
// an object is created: unset, empty or "nss" for the machine's user and group database,
// "file:/absolute/path" for a directory file. Any other value is a configuration mistake
// and fails the creation rather than quietly asking someone else.
#include <climits>
#include <cwchar>
#include <new>

#include "platform/directory_component.h"
#include "platform/platform.h"
#include "platform/posix/directory_providers_posix.h"
#include "platform/settings.h"

namespace tq5::platform {

namespace posix {

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  std::mbstate_t state{};
  std::size_t at = 0;
  while (at < text.size()) {
    wchar_t c = 0;
    const std::size_t used = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
    if (used == 0) {  // an embedded NUL
      wide.push_back(L'\0');
      ++at;
    } else if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
      wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(text[at])));
      ++at;
      state = std::mbstate_t{};
    } else {
      wide.push_back(c);
      at += used;
    }
  }
  return wide;
}

bool Narrow(const std::wstring& text, std::string* out) {
  out->clear();
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (wchar_t c : text) {
    const std::size_t n = std::wcrtomb(bytes, c, &state);
    if (n == static_cast<std::size_t>(-1)) return false;
    out->append(bytes, n);
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

}  // namespace posix

ApartmentJoin JoinApartment() { return ApartmentJoin::Joined; }

void LeaveApartment() {}

DirectoryObject* CreateDirectoryObject() {
  const std::string value = ReadSetting("directory").value;
  if (value.empty() || value == "nss") return posix::CreateNssDirectory();
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

}  // namespace tq5::platform
