// No event log outside Windows: the journal (or the log file) keeps the server's lines.
#include "event_log.h"

namespace orvcache::event_log {

bool Open(const std::string& source, std::string* error) {
  if (source.empty()) return true;
  *error =
      "--event-source: the event log is Windows's; here the journal or --log-file keeps "
      "the server's log";
  return false;
}

void Report(Event, const std::string&) {}

void Close() {}

bool RegisterSource(const std::string&, const std::string&, std::string*) { return true; }

bool RemoveSource(const std::string&, std::string*) { return true; }

}  // namespace orvcache::event_log
