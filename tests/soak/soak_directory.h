// The directory the soak runs against: CORP\u0..u<N-1> with roles of their own and
// shared ones, most behind a delay of a few to a hundred milliseconds; one user who is
// always slower than the fetch time limit, one whose directory call fails, and u<N>,
// whom the directory does not know.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/directory_file.h"

namespace tq5::soak {

inline constexpr const char* kDomain = "CORP";
// The delay of the user who is never answered in time; fetch limits stay below it.
inline constexpr int kTooSlowMs = 700;
// The limit every fetch of the soak gets, well above every other delay.
inline constexpr int kFetchLimitMs = 400;

std::string UserName(int user);

// The directory file's text for `users` users, shaped by `seed`.
std::string SoakDirectoryText(uint32_t seed, int users);

// What a find of one user may answer.
struct Expectation {
  enum class Kind { Roles, Fails, TooSlow } kind = Kind::Roles;
  std::vector<std::string> roles;  // "name<TAB>id", sorted, for Kind::Roles
};
Expectation Expect(const platform::DirectoryFile& directory, int user);

// A set of answered roles in the form Expectation::roles uses.
std::vector<std::string> SortedRoles(std::vector<std::string> roles);

}  // namespace tq5::soak
