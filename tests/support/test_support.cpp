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
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace tq5test {

unsigned long ProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

namespace {

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
  shm_unlink(("/" + prefix_ + "ZOLMAR_ORVCACHE_STATS").c_str());
  shm_unlink(("/" + prefix_ + "ZOLMAR_ORVCACHE_INDEX").c_str());
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

Peer::Peer(const std::vector<std::string>& args) : Peer(PeerPath(), args) {}

Peer::Peer(const std::string& exe, const std::vector<std::string>& args) {
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

int RunPeer(const std::string& program, const std::vector<std::string>& args) {
  return Peer(program, args).Wait();
}

RawRegion::RawRegion() {
  const char* prefix = std::getenv("TQ5ORVCACHE_OBJECT_PREFIX");
  const std::string base = std::string(prefix ? prefix : "") + "ZOLMAR_ORVCACHE";
#ifdef _WIN32
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, ("Global\\" + base).c_str());
  if (!mapping) return;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  MEMORY_BASIC_INFORMATION info{};
  if (!view || VirtualQuery(view, &info, sizeof info) != sizeof info) {
    if (view) UnmapViewOfFile(view);
    CloseHandle(mapping);
    return;
  }
  handle_ = reinterpret_cast<intptr_t>(mapping);
  base_ = static_cast<uint8_t*>(view);
  size_ = info.RegionSize;
#else
  const int fd = shm_open(("/" + base).c_str(), O_RDWR, 0);
  struct stat st {};
  if (fd < 0) return;
  void* view = fstat(fd, &st) == 0 ? mmap(nullptr, static_cast<size_t>(st.st_size),
                                          PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                                   : MAP_FAILED;
  close(fd);  // the mapping stays; no descriptor of the server's object is kept
  if (view == MAP_FAILED) return;
  base_ = static_cast<uint8_t*>(view);
  size_ = static_cast<std::size_t>(st.st_size);
#endif
}

RawRegion::~RawRegion() {
  if (!base_) return;
#ifdef _WIN32
  UnmapViewOfFile(base_);
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
#else
  munmap(base_, size_);
#endif
}

RoleEntry& RawRegion::role(int32_t index) const {
  return reinterpret_cast<RoleEntry*>(base_ + sizeof(CacheHeader))[index];
}

UserEntry& RawRegion::user(int32_t index) const {
  auto* users = base_ + sizeof(CacheHeader) + sizeof(RoleEntry) * header().roleCapacity;
  return reinterpret_cast<UserEntry*>(users)[index];
}

}  // namespace tq5test
