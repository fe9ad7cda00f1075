#include "platform/object_access.h"

#include <mutex>
#include <string_view>

#include "platform/ascii.h"
#include "platform/settings.h"

namespace tq5::platform {

namespace {

std::mutex problemLock;
std::string& problem = *new std::string;  // never destroyed: read as the process ends

}  // namespace

void NoteAccessProblem(const std::string& why) {
  std::lock_guard<std::mutex> guard(problemLock);
  problem = why;
}

std::string TakeAccessProblem() {
  std::lock_guard<std::mutex> guard(problemLock);
  std::string taken;
  taken.swap(problem);
  return taken;
}

Status RefuseAccess(ResultCode code, const char* call, const std::string& object,
                    const std::string& why) {
  NoteAccessProblem(why);
  return Status::Refused(code, call, object, why);
}

bool AccessGroupOf(const std::string& value, std::string* group) {
  const std::string_view prefix = kAccessGroupPrefix;
  if (value.size() <= prefix.size() ||
      !EqualIgnoringAsciiCase(std::string_view(value).substr(0, prefix.size()), prefix)) {
    return false;
  }
  *group = value.substr(prefix.size());
  return true;
}

bool ResolveObjectAccess(ObjectAccess* access, std::string* why) {
  const Setting setting = ReadSetting(kAccessSetting);
  const std::string& value = setting.value;
  if (value.empty() || LowerAsciiText(value) == kAccessEveryone) {
    *access = ObjectAccess{};
    return true;
  }
  ObjectAccess resolved;
  if (!AccessGroupOf(value, &resolved.groupName)) {
    *why = "the access setting \"" + value + "\" (" +
           (setting.source == SettingSource::Environment ? SettingVariable(kAccessSetting)
                                                         : SettingsLocation()) +
           ") is neither \"everyone\" nor \"group:NAME\"";
    return false;
  }
  resolved.restricted = true;
  if (!ResolveAccessGroup(resolved.groupName, &resolved, why)) return false;
  *access = std::move(resolved);
  return true;
}

}  // namespace tq5::platform
