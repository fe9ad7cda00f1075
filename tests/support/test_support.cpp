#include "support/test_support.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tq5orvcache.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace tq5test {
namespace {

unsigned long ProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

std::string ExecutableDir() {
#ifdef _WIN32
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return fs::path(std::string(path, n)).parent_path().string();
#else
  return fs::read_symlink("/proc/self/exe").parent_path().string();
#endif
}

std::string PeerPath() {
#ifdef _WIN32
  return (fs::path(ExecutableDir()) / "tq5_peer.exe").string();
#else
  return (fs::path(ExecutableDir()) / "tq5_peer").string();
#endif
}

int testCounter = 0;

}  // namespace

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
  SetEnvironmentVariableA(name, value);
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string RegionImage(const CacheHeader& header) {
  std::string image(sizeof header +
                        sizeof(RoleEntry) * static_cast<std::size_t>(header.roleCapacity) +
                        sizeof(UserEntry) * static_cast<std::size_t>(header.userCapacity),
                    '\0');
  std::memcpy(image.data(), &header, sizeof header);
  return image;
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool WaitForFile(const std::string& path, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    if (FileExists(path)) return true;
    SleepMs(5);
  }
  return FileExists(path);
}

void CacheTest::SetUp() {
  const std::string tag = "t" + std::to_string(ProcessId()) + "_" + std::to_string(++testCounter);
  prefix_ = tag + "_";
  folder_ = (fs::temp_directory_path() / ("tq5-" + tag)).string();
  fs::remove_all(folder_);
  fs::create_directories(folder_);
  SetEnv("TQ5ORVCACHE_OBJECT_PREFIX", prefix_.c_str());
  SetEnv("MERLOC_GROUP_FOLDER_NAME", folder_.c_str());
}

void CacheTest::TearDown() {
  UninitializeCacheDataSharedMemory();
  UninitializeTQ5ORVCache();
  std::error_code error;
  fs::remove_all(folder_, error);
#ifndef _WIN32
  // POSIX names outlive their processes; the test's own are of no use to anyone after it.
  shm_unlink(("/" + prefix_ + "ZOLMAR_ORVCACHE_MUTEX").c_str());
  shm_unlink(("/" + prefix_ + "ZOLMAR_ORVCACHE").c_str());
#endif
}

void CacheTest::StartServer() {
  ASSERT_EQ(CACHE_OK, InitializeTQ5ORVCacheServer());
  ASSERT_EQ(CACHE_OK, InitializeCacheDataSharedMemory());
}

std::string CacheTest::CacheFilePath() const { return PathInFolder("TQ5ORVCACHE.dat"); }

std::string CacheTest::PathInFolder(const std::string& name) const {
  return (fs::path(folder_) / name).string();
}

Peer::Peer(const std::vector<std::string>& args) {
  const std::string exe = PeerPath();
#ifdef _WIN32
  std::string commandLine = "\"" + exe + "\"";
  for (const std::string& arg : args) commandLine += " \"" + arg + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    ADD_FAILURE() << "cannot start " << exe;
    done_ = true;
    return;
  }
  CloseHandle(info.hThread);
  handle_ = reinterpret_cast<intptr_t>(info.hProcess);
#else
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    ADD_FAILURE() << "cannot start " << exe;
    done_ = true;
    return;
  }
  handle_ = pid;
#endif
}

Peer::~Peer() {
  if (!done_) {
    Kill();
    Wait();
  }
}

int Peer::Wait() {
  if (done_) return exitCode_;
#ifdef _WIN32
  HANDLE process = reinterpret_cast<HANDLE>(handle_);
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  exitCode_ = static_cast<int>(code);
#else
  int status = 0;
  waitpid(static_cast<pid_t>(handle_), &status, 0);
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
  done_ = true;
  return exitCode_;
}

void Peer::Kill() {
  if (done_) return;
#ifdef _WIN32
  TerminateProcess(reinterpret_cast<HANDLE>(handle_), 137);
#else
  kill(static_cast<pid_t>(handle_), SIGKILL);
#endif
}

int RunPeer(const std::vector<std::string>& args) { return Peer(args).Wait(); }

}  // namespace tq5test
