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
bool StdoutIsTerminal();
unsigned long ProcessId();
// The name of the account the process runs as ("tq5orvcache"), or its number when it
// has no name.
std::string AccountName();
void SetEnvironment(const char* name, const std::string& value);
void UnsetEnvironment(const char* name);
char PathSeparator();
// Sends standard output and standard error to the end of the file at `path` (created
// when missing), for a server without a console or terminal. False when it cannot be
// opened.
bool RedirectOutput(const std::string& path);
// Seconds since 1970 of the file's last change; false when it cannot be read.
bool FileModified(const std::string& path, int64_t* seconds);

// A text as the directory hands it to the cache: on POSIX the bytes as they are, up to a
// NUL; on Windows the bytes of the test directory file, which reach the cache unchanged.
std::string DirectoryText(const std::string& bytes);

// The role list's source when neither --directory nor the machine's "directory" setting
// names one, in the setting's form ("nss": the group database, which lookups fetch from
// too); empty where the platform has none (Windows, whose lookups ask the directory
// component and whose role list comes from a directory file).
std::string DefaultDirectory();

struct Group {
  std::string name;
  std::string id;
};
// Every group of the machine's group database, as the library's default provider names
// them. `seen` is told the number read so far. False, with a message, when there is no
// such database or it cannot be read.
bool ListGroupDatabase(std::vector<Group>* groups, std::string* error,
                       const std::function<void(std::size_t)>& seen);

// ---- Stop and other requests ---------------------------------------------------------
// Stop: SIGINT and SIGTERM on POSIX; Ctrl+C, Ctrl+Break and closing the console on
// Windows. Reload (merge the role list, write the cache file) and sweep: SIGHUP and
// SIGUSR1 on POSIX; on Windows a request file that the server looks for, named by the
// object prefix, in its cache file's folder (the temporary folder without one), which the
// server publishes, so that a sender needs no folder of its own.
enum class Request { Reload, Sweep };
void InstallStopHandlers();
// Tells the platform the server's cache file (empty: none), once it is chosen: where
// requests reach it on Windows. Requests left from an earlier server are dropped.
void AcceptRequests(const std::string& cacheFile);
// Waits up to `ms` milliseconds for a stop request. The request's name ("SIGTERM",
// "Ctrl+C", ...) once one has arrived, else an empty text, which comes early when
// another request is pending.
std::string WaitForStop(int64_t ms);
// Whether a request has arrived that nobody has taken yet.
bool RequestPending();
// Takes the pending request of that kind, if any: true when there was one.
bool TakeRequest(Request request);
// How a request arrives, for the log: "SIGHUP", "request file".
std::string RequestSource(Request request);
// Whether a cache server runs for the current object names, and its process id when the
// platform can tell (0 otherwise).
bool ServerRunning(unsigned long* pid);
// Whether the server that made the region still lives, and its process id. POSIX asks
// the liveness lock that a live server holds on the mutex object, which the kernel drops
// when the server dies however it dies; Windows asks whether the process that published
// itself as the server (`publishedPid`, started at `publishedStart`, seconds since 1970)
// still runs and is that process, not a later one under its reused id (and, with nothing
// published, takes the section's being there for the server's).
bool ServerAlive(unsigned long publishedPid, int64_t publishedStart, unsigned long* pid);
// Delivers a request to the running server, whose process id and cache file (as it
// published them) are given. False, with the reason, when it cannot be delivered; *how
// says how it went ("SIGHUP to pid 812").
bool SendRequest(Request request, unsigned long pid, const std::string& cacheFile, std::string* how,
                 std::string* error);
// Whether the server has taken the request sent (at once where delivery is the taking:
// a signal to a live process). Asked until it has, for a few seconds at most; a request
// still not taken then is withdrawn.
bool RequestTaken(Request request, const std::string& cacheFile);
void WithdrawRequest(Request request, const std::string& cacheFile);
// A stop request from elsewhere in the process (the service control handler); `name`
// is what WaitForStop returns. It may come before InstallStopHandlers and is kept.
void RequestStop(const char* name);
// Tells the platform that the stop is complete; a console that is being closed waits
// for this before it ends the process.
void StopDone();

}  // namespace orvcache::host
