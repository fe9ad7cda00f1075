// The server's events in the system's event log, beside its own log: its start (or a
// start that failed), readiness, reloads, a role list it could not load, failed cache-file
// writes and its stop. On Windows they go to the Application log through ReportEventA under
// the event source that `--event-source` names, which `service install` (and the MSI)
// registers with orvcache.exe's message table; the source and its table are Windows's, so
// elsewhere nothing is reported (the journal takes the server's log lines).
#pragma once

#include <string>

namespace orvcache::event_log {

// Each event's identifier in the message table (event_messages.mc), with its severity.
enum class Event { Started, StartFailed, Ready, Reloaded, RolesFailed, WriteFailed, Stopped };

// Reports to `source` from here on; an empty name reports nothing. False, with the reason,
// when the source cannot be opened (the events are then not reported).
bool Open(const std::string& source, std::string* error);
// One event whose text is `text`, as the log line says it.
void Report(Event event, const std::string& text);
void Close();

// Registers `source` in the Application log with `messageFile` (orvcache.exe) as its
// message table, or removes it. False, with the reason, when the registry refuses.
bool RegisterSource(const std::string& source, const std::string& messageFile, std::string* error);
bool RemoveSource(const std::string& source, std::string* error);

}  // namespace orvcache::event_log
