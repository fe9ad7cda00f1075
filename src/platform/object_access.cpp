#include "platform/object_access.h"

#include <cctype>
#include <mutex>

#include "platform/settings.h"

namespace tq5::platform {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

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

bool ResolveObjectAccess(ObjectAccess* access, std::string* why) {
  const Setting setting = ReadSetting(kAccessSetting);
  const std::string& value = setting.value;
  if (value.empty() || Lower(value) == kAccessEveryone) {
    *access = ObjectAccess{};
    return true;
  }
  const std::string prefix = kAccessGroupPrefix;
  if (Lower(value.substr(0, prefix.size())) != prefix || value.size() == prefix.size()) {
    *why = "the access setting \"" + value + "\" (" +
           (setting.source == SettingSource::Environment ? SettingVariable(kAccessSetting)
                                                         : SettingsLocation()) +
           ") is neither \"everyone\" nor \"group:NAME\"";
    return false;
  }
  ObjectAccess resolved;
  resolved.restricted = true;
  resolved.groupName = value.substr(prefix.size());
  if (!ResolveAccessGroup(resolved.groupName, &resolved, why)) return false;
  *access = std::move(resolved);
  return true;
}

}  // namespace tq5::platform
