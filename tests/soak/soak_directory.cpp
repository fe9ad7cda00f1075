#include "soak_directory.h"

#include <algorithm>
#include <random>

namespace tq5::soak {

std::string UserName(int user) { return "u" + std::to_string(user); }

std::string SoakDirectoryText(uint32_t seed, int version, int users) {
  std::mt19937 random(seed + 7919u * static_cast<uint32_t>(version));
  std::string text = "# the kill soak's directory, version " + std::to_string(version) + "\n";
  const auto line = [&text](const std::string& user, const std::string& rest) {
    text += std::string(kDomain) + "\t" + user + (rest.empty() ? "" : "\t" + rest) + "\n";
  };
  // Every role any version can give, held by a user whom nobody looks up: the complete
  // role list is the same in every version.
  for (int u = 1; u < users - 2; ++u) {
    for (int k = 0; k < 4; ++k) {
      const std::string role = "P" + std::to_string(u) + "_" + std::to_string(k);
      line("catalogue", role + "\tID-" + role);
    }
  }
  for (int s = 0; s < 6; ++s)
    line("catalogue", "S" + std::to_string(s) + "\tID-S" + std::to_string(s));
  for (int u = 0; u < users; ++u) {
    const std::string user = UserName(u);
    if (u == users - 1) {
      line(user, "@fail");
      continue;
    }
    if (u == users - 2) {
      line(user, "@delay\t" + std::to_string(kTooSlowMs));
      line(user, "S0\tID-S0");
      continue;
    }
    if (random() % 10 >= 4) line(user, "@delay\t" + std::to_string(2 + random() % 99));
    if (u == 0) {  // known, without roles
      line(user, "");
      continue;
    }
    const unsigned own = random() % 4;
    for (unsigned k = 0; k < own; ++k) {
      const std::string role = "P" + std::to_string(u) + "_" + std::to_string(k);
      line(user, role + "\tID-" + role);
    }
    unsigned shared = 0;
    for (unsigned s = 0; s < 6; ++s) {
      if (random() % 3 != 0) continue;
      line(user, "S" + std::to_string(s) + "\tID-S" + std::to_string(s));
      ++shared;
    }
    if (own + shared == 0) line(user, "S5\tID-S5");  // every other user has a role
  }
  return text;
}

std::vector<std::string> SortedRoles(std::vector<std::string> roles) {
  std::sort(roles.begin(), roles.end());
  return roles;
}

bool Expectation::Allows(const std::vector<std::string>& sortedRoles) const {
  return kind == Kind::Roles && std::find(sets.begin(), sets.end(), sortedRoles) != sets.end();
}

// The special users are alike in every version, so every version tells the same kind.
Expectation Expect(const std::vector<platform::DirectoryFile>& versions, int user) {
  Expectation expected;
  for (const platform::DirectoryFile& directory : versions) {
    const platform::DirectoryAnswer answer = directory.AnswerFor(kDomain, UserName(user));
    if (!answer.known || answer.fail) {
      expected.kind = Expectation::Kind::Fails;
    } else if (answer.delayMs >= static_cast<uint32_t>(kFetchLimitMs)) {
      expected.kind = Expectation::Kind::TooSlow;
    } else {
      std::vector<std::string> roles;
      for (std::size_t i = 0; i < answer.names.elements.size(); ++i) {
        roles.push_back(answer.names.elements[i] + "\t" + answer.ids.elements[i]);
      }
      expected.sets.push_back(SortedRoles(std::move(roles)));
    }
  }
  return expected;
}

}  // namespace tq5::soak
