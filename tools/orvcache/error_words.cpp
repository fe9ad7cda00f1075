#include "error_words.h"

#include "access_report.h"
#include "tq5orvcache_admin.h"

namespace orvcache {
namespace {

constexpr tq5::admin::CacheObject kMutex = tq5::admin::CacheObject::Mutex;
constexpr tq5::admin::CacheObject kRegion = tq5::admin::CacheObject::Region;
constexpr const char* kNoServer = "no cache server is running (start one with `orvcache server`)";

// Why an object could not be opened or created: what the system says of it.
std::string ObjectReason(tq5::admin::CacheObject which, const char* what) {
  const std::string name = tq5::admin::ObjectName(which);
  const tq5::admin::ObjectPermissions object = tq5::admin::DescribeObject(which);
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
      const tq5::admin::ObjectPermissions mutex = tq5::admin::DescribeObject(kMutex);
      if (mutex.exists && !mutex.usable) {
        return ObjectReason(kMutex, "the cache mutex");
      }
      return kNoServer;
    }
    case CACHE_E_OPEN_MAPPING: {
      // Where the mutex outlives the server, a stopped server leaves this code behind.
      const std::string region = ObjectReason(kRegion, "the region");
      if (!tq5::admin::DescribeObject(kRegion).exists) {
        return std::string(kNoServer) + "; " + region;
      }
      return region;
    }
    case CACHE_E_CREATE_MAPPING:
      return ObjectReason(kRegion, "cannot create the region");
    case CACHE_E_MUTEX_CREATE:
      return ObjectReason(kMutex, "cannot create the cache mutex");
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
  const tq5::admin::SystemFailure failure = tq5::admin::LatestFailure();
  return code != CACHE_OK && failure.code == code ? failure.Text() : std::string();
}

std::string Explain(ResultCode code, const std::string& user) {
  const std::string reason = SystemReason(code);
  const std::string context = Context(code, user);
  if (reason.empty() || context.empty()) return reason + context;
  return reason + "; " + context;
}

}  // namespace orvcache
