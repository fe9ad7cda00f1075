// The directory the soak runs against: CORP\u0..u<N-1> with roles of their own and
// shared ones, most behind a delay of a few to a hundred milliseconds; one user who is
// always slower than the fetch time limit, one whose directory call fails, and u<N>,
// whom the directory does not know. It comes in versions that give the users other
// roles out of the same complete role list, so that switching versions changes users'
// sets but never the role table.
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

// The text of one version of the directory file for `users` users, shaped by `seed`.
std::string SoakDirectoryText(uint32_t seed, int version, int users);

// What a find of one user may answer.
struct Expectation {
  enum class Kind { Roles, Fails, TooSlow } kind = Kind::Roles;
  // For Kind::Roles: the sets ("name<TAB>id", sorted) that the versions give; an answer
  // must be one of them, never a mixture.
  std::vector<std::vector<std::string>> sets;
  bool Allows(const std::vector<std::string>& sortedRoles) const;
};
Expectation Expect(const std::vector<platform::DirectoryFile>& versions, int user);

// A set of answered roles in the form Expectation::roles uses.
std::vector<std::string> SortedRoles(std::vector<std::string> roles);

}  // namespace tq5::soak
