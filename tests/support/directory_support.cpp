#include "support/directory_support.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#endif

namespace tq5test {

#ifdef _WIN32
namespace {

constexpr const char* kServerSettings = "Software\\tq5orvcache\\DirectoryServer";

void RegisterServerOnce() {
  static bool registered = false;
  if (registered) return;
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string server =
      (std::filesystem::path(std::string(self, n)).parent_path() / "orv_directory_server.exe")
          .string();
  std::string commandLine = "\"" + server + "\" /RegServer";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcessA(server.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, nullptr, &startup, &info));
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  ASSERT_EQ(0u, code) << "directory server registration";
  registered = true;
}

}  // namespace
#endif

void UseDirectoryFile(const std::string& path) {
  const std::string choice = "file:" + path;
  SetEnv("TQ5ORVCACHE_DIRECTORY", choice.c_str());
#ifdef _WIN32
  RegisterServerOnce();
  // Both views of the registry: the server reads its own, and a server of the other
  // bitness may answer this program or its peers.
  for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServerSettings, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | view, nullptr, &key, nullptr));
    const LONG rc = RegSetValueExA(key, "DirectoryFile", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(choice.c_str()),
                                   static_cast<DWORD>(choice.size() + 1));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, rc);
  }
#endif
}

}  // namespace tq5test
