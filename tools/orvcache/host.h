// What the command needs of the operating system beyond the library: stop requests,
// the terminal, files, the environment and the machine's group database. One
// implementation per platform (host_posix.cpp, host_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orvcache::host {

bool StderrIsTerminal();
unsigned long ProcessId();
void SetEnvironment(const char* name, const std::string& value);
char PathSeparator();
// Seconds since 1970 of the file's last change; false when it cannot be read.
bool FileModified(const std::string& path, int64_t* seconds);

// A text as the directory hands it to the cache: bytes that are characters of the C
// library's locale stay as they are; anything without an 8-bit form becomes '?'.
std::string DirectoryText(const std::string& bytes);

struct Group {
  std::string name;
  std::string id;
};
// Every group of the machine's group database, as the library's default provider names
// them. `seen` is told the number read so far. False, with a message, when there is no
// such database or it cannot be read.
bool ListGroupDatabase(std::vector<Group>* groups, std::string* error,
                       const std::function<void(std::size_t)>& seen);

// ---- Stop and reload requests -------------------------------------------------------
// Stop: SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break and closing the console on
// Windows. Reload: SIGHUP on POSIX; Windows has none.
void InstallStopHandlers();
// Waits up to `ms` milliseconds for a stop request. The request's name ("SIGTERM",
// "Ctrl+C", ...) once one has arrived, else an empty text, which comes early when a
// reload request is pending.
std::string WaitForStop(int64_t ms);
// Whether a reload request has arrived that nobody has taken yet.
bool ReloadPending();
// Takes the pending reload request, if any: true when there was one.
bool TakeReloadRequest();
// Tells the platform that the stop is complete; a console that is being closed waits
// for this before it ends the process.
void StopDone();

}  // namespace orvcache::host
