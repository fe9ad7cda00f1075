// The directory providers of the POSIX build, behind the component interface: the
// machine's user and group database, or a directory file.
#pragma once

#include <memory>
#include <string>

#include "platform/directory_component.h"
#include "platform/directory_file.h"

namespace tq5::platform::posix {

// What a failing call of a provider returns (a generic failure in the component's terms).
inline constexpr ComponentResult kCallFailed = INT32_MIN + 0x4005;

// Names as the system gives them (UTF-8 bytes) to the component's wide form and back,
// whatever the process's locale: a byte outside a well-formed sequence widens to its
// escape (platform/utf8_text.h), so the way back gives exactly the bytes that came in.
// The way out fails on a character that no bytes stand for.
std::wstring Widen(const std::string& text);
bool Narrow(const std::wstring& text, std::string* out);

// An out-array of GetUserRolesEx as the providers hand it back.
class ArrayStrings final : public RoleStrings {
 public:
  explicit ArrayStrings(DirectoryArray array) : array_(std::move(array)) {}
  bool IsStringArray() const override;
  bool Bounds(int32_t* lower, int32_t* upper) const override;
  bool Element(int32_t index, std::wstring* text) const override;

 private:
  DirectoryArray array_;
};

// Whether the "directory" setting chooses `choice` ("nss" or "file:/path") now; read
// afresh, for a held object's StillChosen.
bool IsChosenDirectory(const std::string& choice);

// Both are safe to call from several threads at once: a worker that outlived its fetch
// may still be inside a call when the next fetch's worker makes one.
DirectoryObject* CreateNssDirectory();
// Null when the file says that creation fails.
DirectoryObject* CreateFileDirectory(const std::string& path);

}  // namespace tq5::platform::posix
