// The security directory component as the fetch worker sees it: an apartment to join, an
// object to create, and the three calls it makes on it. On Windows this is the COM local
// server OrvAuthorization; on POSIX a provider chosen by TQ5ORVCACHE_DIRECTORY.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tq5::platform {

// Call results in the component's own terms: negative is a failure.
using ComponentResult = int32_t;

enum class ApartmentJoin {
  Joined,       // joined (or joined again); leave it when done
  ChangedMode,  // the thread is in another apartment already; go on, do not leave
  Failed
};
ApartmentJoin JoinApartment();
void LeaveApartment();

// One out-argument of GetUserRolesEx as the component filled it.
class RoleStrings {
 public:
  virtual ~RoleStrings() = default;
  // Whether it holds a one-dimensional array of strings (VT_ARRAY | VT_BSTR).
  virtual bool IsStringArray() const = 0;
  // The bounds of dimension 1; false when there is no array to read them from.
  virtual bool Bounds(int32_t* lower, int32_t* upper) const = 0;
  // The element at `index` (counted from the lower bound); a null string reads as empty.
  // False when the element cannot be read.
  virtual bool Element(int32_t index, std::wstring* text) const = 0;
};

class DirectoryObject {
 public:
  virtual ComponentResult InitializeCache() = 0;
  virtual ComponentResult GetUserRolesEx(const std::wstring& domainName,
                                         const std::wstring& userName,
                                         std::unique_ptr<RoleStrings>* names,
                                         std::unique_ptr<RoleStrings>* ids) = 0;
  virtual ComponentResult CloseCache() = 0;
  // The object's release operation; the object is gone afterwards.
  virtual void Release() = 0;
  // Whether the object still stands for the directory that the machine's settings
  // choose. A process holds its object from fetch to fetch; one that no longer does is
  // let go, and the fetch makes a new one, so that a changed choice reaches running
  // processes.
  virtual bool StillChosen() { return true; }

 protected:
  ~DirectoryObject() = default;
};

// Creates the component; null when it cannot be created. Called on a thread that has
// joined the apartment.
DirectoryObject* CreateDirectoryObject();

// Converts a caller's 8-bit name to the component's string form: on Windows from the
// system ANSI code page, on POSIX from the bytes as given (UTF-8, or any bytes at all).
bool ToComponentString(const char* text, std::wstring* out);

// Converts a name or id of the component to the 8-bit form that the region stores, up to
// an embedded NUL. On POSIX the inverse of ToComponentString, whatever the locale; on
// Windows the C library's current locale (the default "C" one unless the host process
// changes it). A character without an 8-bit form becomes '?'. May throw std::bad_alloc.
std::string FromComponentString(const std::wstring& text);

}  // namespace tq5::platform
