#include "error_words.h"

#include "access_report.h"
#include "platform/object_access.h"
#include "platform/platform.h"

namespace orvcache {
namespace {

constexpr const char* kNoServer = "no cache server is running (start one with `orvcache server`)";

// Why an object could not be opened or created: what the system says of it.
std::string ObjectReason(const char* baseName, const char* what) {
  const std::string name = tq5::platform::ObjectName(baseName);
  const tq5::platform::ObjectPermissions object = tq5::platform::DescribeObject(baseName);
  if (!object.exists) return std::string(what) + " " + name + " does not exist";
  std::string text = std::string(what) + " " + name + ": " +
                     (object.readable ? object.permissions : "its permissions cannot be read");
  if (!object.usable) {
    text +=
        ", which this account may not open (a leftover of another account? its owner or an "
        "administrator can remove it with `orvcache cleanup`)";
  }
  return text;
}

// What the library's code means here, without the system's reason.
std::string Context(ResultCode code, const std::string& user) {
  // A client refused by the objects' access list gets the codes of a missing object.
  const std::string denied = AccessDeniedMessage(code);
  if (!denied.empty()) return denied;
  switch (code) {
    case CACHE_E_MUTEX_OPEN: {
      const tq5::platform::ObjectPermissions mutex =
          tq5::platform::DescribeObject(tq5::platform::kCacheMutexName);
      if (mutex.exists && !mutex.usable) {
        return ObjectReason(tq5::platform::kCacheMutexName, "the cache mutex");
      }
      return kNoServer;
    }
    case CACHE_E_OPEN_MAPPING: {
      // Where the mutex outlives the server, a stopped server leaves this code behind.
      const std::string region = ObjectReason(tq5::platform::kSectionName, "the region");
      if (!tq5::platform::DescribeObject(tq5::platform::kSectionName).exists) {
        return std::string(kNoServer) + "; " + region;
      }
      return region;
    }
    case CACHE_E_CREATE_MAPPING:
      return ObjectReason(tq5::platform::kSectionName, "cannot create the region");
    case CACHE_E_MUTEX_CREATE:
      return ObjectReason(tq5::platform::kCacheMutexName, "cannot create the cache mutex");
    case CACHE_E_USER_FETCH_CALL:
      // The directory's own reason, when it gave one, says more than a guess.
      if (!user.empty() && SystemReason(code).empty()) return "the directory does not know " + user;
      return "";
    case CACHE_E_USER_NOT_CACHED:
      if (!user.empty()) return user + " is not cached (`orvcache lookup` fetches it)";
      return "";
    default:
      return "";
  }
}

}  // namespace

std::string SystemReason(ResultCode code) {
  const tq5::platform::Failure& failure = tq5::platform::LastFailure();
  return code != CACHE_OK && failure.code == code ? failure.Text() : std::string();
}

std::string Explain(ResultCode code, const std::string& user) {
  const std::string reason = SystemReason(code);
  const std::string context = Context(code, user);
  if (reason.empty() || context.empty()) return reason + context;
  return reason + "; " + context;
}

}  // namespace orvcache
