// The server's events in the Windows event log: ReportEventA under a registered source.
// Where the event log only pretends to keep events (Wine accepts them and drops them), the
// variable TQ5ORVCACHE_EVENT_LOG_COPY names a file to which every report is also appended,
// with the arguments given to ReportEventA and its result, so that what was reported can
// be checked.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "event_log.h"
#include "event_messages.h"

namespace orvcache::event_log {

namespace {

constexpr const char* kSourcesKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

HANDLE source = nullptr;
std::string sourceName;
std::string copyPath;

struct EventKind {
  WORD type;
  DWORD id;
  const char* typeName;
};

EventKind KindOf(Event event) {
  switch (event) {
    case Event::Started:
      return {EVENTLOG_INFORMATION_TYPE, TQ5_EVENT_STARTED, "information"};
    case Event::StartFailed:
      return {EVENTLOG_ERROR_TYPE, TQ5_EVENT_START_FAILED, "error"};
    case Event::Ready:
      return {EVENTLOG_INFORMATION_TYPE, TQ5_EVENT_READY, "information"};
    case Event::Reloaded:
      return {EVENTLOG_INFORMATION_TYPE, TQ5_EVENT_RELOADED, "information"};
    case Event::RolesFailed:
      return {EVENTLOG_WARNING_TYPE, TQ5_EVENT_ROLES_FAILED, "warning"};
    case Event::WriteFailed:
      return {EVENTLOG_ERROR_TYPE, TQ5_EVENT_WRITE_FAILED, "error"};
    case Event::Stopped:
      break;
  }
  return {EVENTLOG_INFORMATION_TYPE, TQ5_EVENT_STOPPED, "information"};
}

std::string ErrorNumber(LONG error) { return "error " + std::to_string(error); }

}  // namespace

bool Open(const std::string& name, std::string* error) {
  Close();
  if (name.empty()) return true;
  const char* copy = std::getenv("TQ5ORVCACHE_EVENT_LOG_COPY");
  copyPath = copy ? copy : "";
  source = RegisterEventSourceA(nullptr, name.c_str());
  if (!source) {
    *error = "cannot open the event source " + name + " (" + ErrorNumber(GetLastError()) + ")";
    return false;
  }
  sourceName = name;
  return true;
}

void Report(Event event, const std::string& text) {
  if (!source) return;
  const EventKind kind = KindOf(event);
  const char* strings[1] = {text.c_str()};
  const BOOL reported =
      ReportEventA(source, kind.type, 0, kind.id, nullptr, 1, 0, strings, nullptr);
  if (copyPath.empty()) return;
  if (FILE* file = std::fopen(copyPath.c_str(), "a")) {
    std::fprintf(file, "%s %s 0x%08lx %s: %s\n", sourceName.c_str(), kind.typeName,
                 static_cast<unsigned long>(kind.id), reported ? "reported" : "refused",
                 text.c_str());
    std::fclose(file);
  }
}

void Close() {
  if (source) DeregisterEventSource(source);
  source = nullptr;
  sourceName.clear();
}

bool RegisterSource(const std::string& name, const std::string& messageFile, std::string* error) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kSourcesKey + name).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                        reinterpret_cast<const BYTE*>(messageFile.c_str()),
                        static_cast<DWORD>(messageFile.size() + 1));
    if (rc == ERROR_SUCCESS) {
      rc = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    RegCloseKey(key);
  }
  if (rc != ERROR_SUCCESS) {
    *error = "cannot register the event source " + name + " (" + ErrorNumber(rc) + ")";
    return false;
  }
  return true;
}

bool RemoveSource(const std::string& name, std::string* error) {
  const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kSourcesKey + name).c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    *error = "cannot remove the event source " + name + " (" + ErrorNumber(rc) + ")";
    return false;
  }
  return true;
}

}  // namespace orvcache::event_log
