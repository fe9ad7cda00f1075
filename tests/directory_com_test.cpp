// Directory access on Windows with the real system underneath: the registry for the fetch
// time limit, threads for the worker, and fetches across processes through the COM
// runtime to the test directory server (tools/directory_server).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "directory/directory_access.h"
#include "directory/fetch_state.h"
#include "directory/fetch_timeout.h"
#include "platform/registry.h"
#include "platform/win32/role_strings_win32.h"
#include "platform/worker_thread.h"
#include "support/test_support.h"
// After <windows.h>, which the headers above bring in.
#include <sddl.h>

namespace tq5 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Roles = std::vector<std::pair<std::string, std::string>>;

std::string Unique(const char* what) {
  static int counter = 0;
  return std::string(what) + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++counter);
}

// ---- Registry ------------------------------------------------------------------------

// Removes a test's key at the end, also one it made read-only: the owner may always
// give itself full access again.
void DeleteKeyTree(const std::string& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, WRITE_DAC, &key) == ERROR_SUCCESS) {
    PSECURITY_DESCRIPTOR open = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;OICI;KA;;;WD)", SDDL_REVISION_1,
                                                             &open, nullptr)) {
      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, open);
      LocalFree(open);
    }
    RegCloseKey(key);
  }
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, subkey.c_str());
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, subkey.c_str());
}

void CreateKey(const std::string& subkey) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  RegCloseKey(key);
}

bool KeyExists(const std::string& subkey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Lets everyone read the key and nobody do more.
void MakeReadOnly(const std::string& subkey) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, WRITE_DAC, &key));
  PSECURITY_DESCRIPTOR readOnly = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:P(A;OICI;KR;;;WD)", SDDL_REVISION_1, &readOnly, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly));
  LocalFree(readOnly);
  RegCloseKey(key);
}

void SetValue(const std::string& subkey, const char* name, DWORD type, const void* data,
              DWORD size) {
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetKeyValueA(HKEY_LOCAL_MACHINE, subkey.c_str(), name, type, data, size));
}

void SetDword(const std::string& subkey, const char* name, DWORD value) {
  SetValue(subkey, name, REG_DWORD, &value, sizeof value);
}

// The value's type and data as the registry holds them; type REG_NONE when it is missing.
struct StoredValue {
  DWORD type = REG_NONE;
  std::string data;
};
StoredValue ReadStored(const std::string& subkey, const char* name) {
  StoredValue value;
  char data[64];
  DWORD size = sizeof data;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, subkey.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type,
                   data, &size) == ERROR_SUCCESS) {
    value.data.assign(data, size);
  } else {
    value.type = REG_NONE;
  }
  return value;
}

std::string DwordBytes(DWORD value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

class RegistryTest : public testing::Test {
 protected:
  void TearDown() override { DeleteKeyTree(key_); }
  const std::string key_ = "SOFTWARE\\tq5orvcache-test\\" + Unique("registry-");
};

TEST_F(RegistryTest, MissingKeyIsNotFoundAndIsNotCreated) {
  platform::RegistryKey* key = nullptr;
  EXPECT_EQ(platform::RegistryStatus::NotFound, platform::OpenMachineKey(key_, true, &key));
  EXPECT_EQ(platform::RegistryStatus::NotFound, platform::OpenMachineKey(key_, false, &key));
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(KeyExists(key_));
}

TEST_F(RegistryTest, ValuesAreReadWhateverTheirTypeAndWrittenAsDword) {
  CreateKey(key_);
  const uint64_t eight = 0x1122334455667788ull;
  SetValue(key_, "Eight", REG_QWORD, &eight, sizeof eight);
  SetValue(key_, "Two", REG_BINARY, "\x34\x12", 2);

  platform::RegistryKey* key = nullptr;
  ASSERT_EQ(platform::RegistryStatus::Ok, platform::OpenMachineKey(key_, true, &key));
  ASSERT_EQ(platform::RegistryStatus::Ok, platform::SetDwordValue(key, "Limit", 2500));
  EXPECT_EQ(REG_DWORD, ReadStored(key_, "Limit").type);
  EXPECT_EQ(DwordBytes(2500), ReadStored(key_, "Limit").data);

  uint32_t value = 0;
  uint32_t size = sizeof value;
  EXPECT_EQ(platform::RegistryStatus::Ok, platform::QueryValue(key, "Limit", &value, &size));
  EXPECT_EQ(2500u, value);
  EXPECT_EQ(4u, size);

  unsigned char bytes[4] = {0, 0, 0, 0};
  size = sizeof bytes;
  EXPECT_EQ(platform::RegistryStatus::Ok, platform::QueryValue(key, "Two", bytes, &size));
  EXPECT_EQ(2u, size);
  EXPECT_EQ(0x34, bytes[0]);

  size = sizeof value;
  EXPECT_EQ(platform::RegistryStatus::MoreData, platform::QueryValue(key, "Eight", &value, &size));
  EXPECT_EQ(platform::RegistryStatus::NotFound,
            platform::QueryValue(key, "Missing", &value, &size));
  platform::CloseKey(key);
}

TEST_F(RegistryTest, ReadOnlyKeyOpensOnlyForReading) {
  CreateKey(key_);
  SetDword(key_, "Limit", 7);
  MakeReadOnly(key_);

  platform::RegistryKey* key = nullptr;
  EXPECT_EQ(platform::RegistryStatus::AccessDenied, platform::OpenMachineKey(key_, true, &key));
  ASSERT_EQ(platform::RegistryStatus::Ok, platform::OpenMachineKey(key_, false, &key));
  uint32_t value = 0;
  uint32_t size = sizeof value;
  EXPECT_EQ(platform::RegistryStatus::Ok, platform::QueryValue(key, "Limit", &value, &size));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(platform::RegistryStatus::AccessDenied, platform::SetDwordValue(key, "Other", 1));
  platform::CloseKey(key);
}

// ---- Fetch time limit from the registry ------------------------------------------------

class TimeoutSettingTest : public testing::Test {
 protected:
  void SetUp() override {
    tq5test::SetEnv("ZOLMAR_VERSION", version_.c_str());
    tq5test::SetEnv("MERLOC_GROUP_NAME", group_.c_str());
  }
  void TearDown() override {
    DeleteKeyTree(versionKey_);
    tq5test::SetEnv("ZOLMAR_VERSION", nullptr);
    tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
  }

  // The version comes first in the key, then the group.
  const std::string version_ = Unique("v");
  const std::string group_ = Unique("group");
  const std::string versionKey_ = "SOFTWARE\\Brintel\\Zolmar\\" + version_;
  const std::string groupKey_ = versionKey_ + "\\" + group_;
  static constexpr const char* kValue = "ORV_USER_ROLES_TIMEOUT";
};

TEST_F(TimeoutSettingTest, WithoutGroupOrKeyTheLimitIsTheDefault) {
  uint32_t limit = 0;
  EXPECT_EQ(CACHE_E_GROUP_KEY_OPEN, directory::ReadUserRolesTimeout(&limit));
  EXPECT_EQ(60000u, limit);
  EXPECT_FALSE(KeyExists(groupKey_));

  tq5test::SetEnv("MERLOC_GROUP_NAME", nullptr);
  limit = 0;
  EXPECT_EQ(CACHE_E_NO_GROUP_ENV, directory::ReadUserRolesTimeout(&limit));
  EXPECT_EQ(60000u, limit);
  EXPECT_EQ(60000, directory::GetUserRolesTimeout());
  EXPECT_EQ(60000, directory::CachedUserRolesTimeout());
}

TEST_F(TimeoutSettingTest, MissingValueIsCreatedWithTheDefault) {
  CreateKey(groupKey_);
  uint32_t limit = 0;
  EXPECT_EQ(CACHE_OK, directory::ReadUserRolesTimeout(&limit));
  EXPECT_EQ(60000u, limit);
  const StoredValue stored = ReadStored(groupKey_, kValue);
  EXPECT_EQ(REG_DWORD, stored.type);
  EXPECT_EQ(DwordBytes(60000), stored.data);
}

TEST_F(TimeoutSettingTest, ReadOnlyKeyIsReadButNeverWritten) {
  CreateKey(groupKey_);
  MakeReadOnly(groupKey_);
  uint32_t limit = 0;
  EXPECT_EQ(CACHE_E_TIMEOUT_KEY_OPEN, directory::ReadUserRolesTimeout(&limit));
  EXPECT_EQ(60000u, limit);
  EXPECT_EQ(REG_NONE, ReadStored(groupKey_, kValue).type);

  DeleteKeyTree(groupKey_);
  CreateKey(groupKey_);
  SetDword(groupKey_, kValue, 1500);
  MakeReadOnly(groupKey_);
  EXPECT_EQ(CACHE_OK, directory::ReadUserRolesTimeout(&limit));
  EXPECT_EQ(1500u, limit);
}

TEST_F(TimeoutSettingTest, ZeroKeepsTheDefaultAndStaysInTheRegistry) {
  CreateKey(groupKey_);
  SetDword(groupKey_, kValue, 0);
  uint32_t limit = 0;
  EXPECT_EQ(CACHE_OK, directory::ReadUserRolesTimeout(&limit));
  EXPECT_EQ(60000u, limit);
  EXPECT_EQ(DwordBytes(0), ReadStored(groupKey_, kValue).data);
}

TEST_F(TimeoutSettingTest, ValueLongerThanFourBytesCannotBeRead) {
  CreateKey(groupKey_);
  const uint64_t eight = 2500;
  SetValue(groupKey_, kValue, REG_QWORD, &eight, sizeof eight);
  uint32_t limit = 0;
  EXPECT_EQ(CACHE_E_TIMEOUT_KEY_OPEN, directory::ReadUserRolesTimeout(&limit));
  EXPECT_EQ(60000u, limit);
  EXPECT_EQ(60000, directory::GetUserRolesTimeout());
}

TEST_F(TimeoutSettingTest, LimitWithoutEndIsReadAgainForEveryFetch) {
  CreateKey(groupKey_);
  SetDword(groupKey_, kValue, 0xFFFFFFFF);
  EXPECT_EQ(-1, directory::GetUserRolesTimeout());
  EXPECT_EQ(-1, directory::CachedUserRolesTimeout());
  EXPECT_EQ(0xFFFFFFFFu, directory::SettleFetchTimeout(0));
  // Not cached: a change shows at the next fetch, which then caches it.
  SetDword(groupKey_, kValue, 2500);
  EXPECT_EQ(2500u, directory::SettleFetchTimeout(0));
  SetDword(groupKey_, kValue, 3500);
  EXPECT_EQ(2500u, directory::SettleFetchTimeout(0));
  EXPECT_EQ(40u, directory::SettleFetchTimeout(40));
}

// ---- Worker thread ---------------------------------------------------------------------

struct Gate {
  HANDLE open = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> done{false};
};

void WaitAtGate(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  WaitForSingleObject(gate->open, INFINITE);
  gate->done = true;
}

TEST(WorkerThreadTest, WaitWithoutLimitSeesTheWorkEnd) {
  static Gate gate;
  platform::WorkerThread* thread = platform::StartWorkerThread(WaitAtGate, &gate);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(platform::WaitWorkerThread(thread, 50));
  SetEvent(gate.open);
  EXPECT_TRUE(platform::WaitWorkerThread(thread, platform::kWaitForever));
  EXPECT_TRUE(gate.done);
  platform::ReleaseWorkerThread(thread);
}

TEST(WorkerThreadTest, LateWorkerRunsOnAfterItsThreadIsReleased) {
  // Static: the abandoned worker may outlive the test.
  static Gate gate;
  platform::WorkerThread* thread = platform::StartWorkerThread(WaitAtGate, &gate);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(platform::WaitWorkerThread(thread, 20));
  platform::ReleaseWorkerThread(thread);
  SetEvent(gate.open);
  for (int i = 0; i < 500 && !gate.done; ++i) Sleep(10);
  EXPECT_TRUE(gate.done) << "the released worker was stopped";
}

// ---- The out-arrays of GetUserRolesEx --------------------------------------------------

VARIANT StringArray(const std::vector<const wchar_t*>& elements, LONG lowerBound) {
  SAFEARRAYBOUND bound{static_cast<ULONG>(elements.size()), lowerBound};
  VARIANT value;
  VariantInit(&value);
  V_VT(&value) = VT_ARRAY | VT_BSTR;
  V_ARRAY(&value) = SafeArrayCreate(VT_BSTR, 1, &bound);
  for (size_t i = 0; i < elements.size(); ++i) {
    if (elements[i] == nullptr) continue;  // left a null string
    LONG index = lowerBound + static_cast<LONG>(i);
    BSTR text = SysAllocString(elements[i]);
    SafeArrayPutElement(V_ARRAY(&value), &index, text);
    SysFreeString(text);
  }
  return value;
}

TEST(RoleStringsTest, ElementsCountFromTheLowerBound) {
  VARIANT value = StringArray({L"Operator", nullptr, L"Engineer"}, 1);
  auto strings = platform::win32::TakeRoleStrings(&value);
  EXPECT_EQ(VT_EMPTY, V_VT(&value));  // taken over

  ASSERT_TRUE(strings->IsStringArray());
  int32_t lower = 0;
  int32_t upper = 0;
  ASSERT_TRUE(strings->Bounds(&lower, &upper));
  EXPECT_EQ(1, lower);
  EXPECT_EQ(3, upper);
  std::wstring text = L"stale";
  EXPECT_TRUE(strings->Element(0, &text));
  EXPECT_EQ(L"Operator", text);
  EXPECT_TRUE(strings->Element(1, &text));
  EXPECT_EQ(L"", text);  // a null string reads as empty
  EXPECT_TRUE(strings->Element(2, &text));
  EXPECT_EQ(L"Engineer", text);
  EXPECT_FALSE(strings->Element(3, &text));
  EXPECT_FALSE(strings->Element(-1, &text));
}

TEST(RoleStringsTest, OnlyAOneDimensionalStringArrayHasElements) {
  VARIANT empty;
  VariantInit(&empty);
  VARIANT text;
  VariantInit(&text);
  V_VT(&text) = VT_BSTR;
  V_BSTR(&text) = SysAllocString(L"Operator");
  VARIANT variants;
  VariantInit(&variants);
  SAFEARRAYBOUND one{2, 0};
  V_VT(&variants) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&variants) = SafeArrayCreate(VT_VARIANT, 1, &one);
  VARIANT square;
  VariantInit(&square);
  SAFEARRAYBOUND two[2] = {{2, 0}, {2, 0}};
  V_VT(&square) = VT_ARRAY | VT_BSTR;
  V_ARRAY(&square) = SafeArrayCreate(VT_BSTR, 2, two);

  for (VARIANT* value : {&empty, &text, &variants, &square}) {
    const VARTYPE type = V_VT(value);
    auto strings = platform::win32::TakeRoleStrings(value);
    int32_t lower = 0;
    int32_t upper = 0;
    std::wstring element;
    EXPECT_FALSE(strings->IsStringArray()) << type;
    EXPECT_FALSE(strings->Bounds(&lower, &upper)) << type;
    EXPECT_FALSE(strings->Element(0, &element)) << type;
  }

  // The string-array type without an array: no bounds to read.
  VARIANT none;
  VariantInit(&none);
  V_VT(&none) = VT_ARRAY | VT_BSTR;
  V_ARRAY(&none) = nullptr;
  auto strings = platform::win32::TakeRoleStrings(&none);
  int32_t lower = 0;
  int32_t upper = 0;
  std::wstring element;
  EXPECT_TRUE(strings->IsStringArray());
  EXPECT_FALSE(strings->Bounds(&lower, &upper));
  EXPECT_FALSE(strings->Element(0, &element));
}

TEST(ComponentStringTest, ConvertsFromTheAnsiCodePage) {
  std::wstring text;
  ASSERT_TRUE(platform::ToComponentString("CORP\\Operator", &text));
  EXPECT_EQ(L"CORP\\Operator", text);
  ASSERT_TRUE(platform::ToComponentString("", &text));
  EXPECT_EQ(L"", text);
  EXPECT_FALSE(platform::ToComponentString(nullptr, &text));
}

// ---- Fetches through the directory server ----------------------------------------------

std::string ExecutableDir() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return fs::path(std::string(path, length)).parent_path().string();
}

int RunServerCommand(const char* argument) {
  const std::string exe = (fs::path(ExecutableDir()) / "orv_directory_server.exe").string();
  std::string commandLine = "\"" + exe + "\" " + argument;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return -1;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(code);
}

constexpr const char* kServerSettings = "Software\\tq5orvcache\\DirectoryServer";

// The server learns which file to read from the registry, since the COM runtime starts it
// without this program's environment.
void PointServerAt(const std::string& path) {
  const std::string choice = "file:" + path;
  SetValue(kServerSettings, "DirectoryFile", REG_SZ, choice.c_str(),
           static_cast<DWORD>(choice.size() + 1));
}

class DirectoryServerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Registration lasts for the prefix (and waits for the COM runtime to be up); the
    // server started for the first test serves the rest and ends by itself once it has
    // been idle for a while.
    ASSERT_EQ(0, RunServerCommand("/RegServer"));
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kServerSettings, "IdleSeconds");
    folder_ = (fs::temp_directory_path() / Unique("tq5-directory-")).string();
    fs::create_directories(folder_);
  }
  static void TearDownTestSuite() {
    std::error_code error;
    fs::remove_all(folder_, error);
  }

  void SetUp() override { file_ = (fs::path(folder_) / Unique("directory-")).string(); }

  void WriteDirectory(const std::string& text) {
    tq5test::WriteFileBytes(file_, text);
    PointServerAt(file_);
  }

  // One fetch of CORP\user; `roles` receives what it fetched after CACHE_OK.
  ResultCode Fetch(const char* user, uint32_t timeoutMs, Roles* roles = nullptr) {
    directory::FetchedRoles& fetch = Got();
    const ResultCode result = directory::FetchUserRoles("CORP", user, timeoutMs, &fetch);
    if (roles != nullptr) {
      roles->clear();
      if (result == CACHE_OK) {
        if (fetch.size() == 0) {
          EXPECT_EQ(nullptr, fetch.data());
        }
        for (int32_t i = 0; i < fetch.size(); ++i) {
          roles->emplace_back(fetch.data()[i].name, fetch.data()[i].id);
        }
      }
    }
    return result;
  }
  // What the latest fetch of the test returned.
  static directory::FetchedRoles& Got() {
    static directory::FetchedRoles got;
    return got;
  }

  // Waits for workers that timed out to end, so that the next test starts clean.
  static void WaitForLateWorkers() {
    for (int i = 0; i < 1000 && directory::LateWorkerCount() > 0; ++i) Sleep(10);
    EXPECT_EQ(0, directory::LateWorkerCount());
  }

  static constexpr uint32_t kLimit = 30000;
  static std::string folder_;
  std::string file_;
};

std::string DirectoryServerTest::folder_;

TEST_F(DirectoryServerTest, ObjectsLiveInTheServerProcess) {
  WriteDirectory(
      "CORP\talice\tOperators\tR-1\n"
      "CORP\tnoarray\t@no-array\tnames\n");
  ASSERT_EQ(platform::ApartmentJoin::Joined, platform::JoinApartment());
  IOrvAuthorization* object = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OrvAuthorization, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IOrvAuthorization, reinterpret_cast<void**>(&object)));
  LONG serverId = 0;
  EXPECT_EQ(S_OK, object->GetServerProcessId(&serverId));
  EXPECT_NE(static_cast<LONG>(GetCurrentProcessId()), serverId);
  object->Release();

  // The same calls through the component as the fetch worker makes them.
  platform::DirectoryObject* component = platform::CreateDirectoryObject();
  ASSERT_NE(component, nullptr);
  EXPECT_GE(component->InitializeCache(), 0);
  std::unique_ptr<platform::RoleStrings> names;
  std::unique_ptr<platform::RoleStrings> ids;
  ASSERT_GE(component->GetUserRolesEx(L"corp", L"ALICE", &names, &ids), 0);
  ASSERT_TRUE(names && ids);
  std::wstring name;
  std::wstring id;
  EXPECT_TRUE(names->Element(0, &name));
  EXPECT_TRUE(ids->Element(0, &id));
  EXPECT_EQ(L"Operators", name);
  EXPECT_EQ(L"R-1", id);
  // The string-array type without an array crosses the processes as it is.
  ASSERT_GE(component->GetUserRolesEx(L"CORP", L"noarray", &names, &ids), 0);
  int32_t lower = 0;
  int32_t upper = 0;
  EXPECT_TRUE(names->IsStringArray());
  EXPECT_FALSE(names->Bounds(&lower, &upper));
  ASSERT_TRUE(ids->Bounds(&lower, &upper));
  EXPECT_EQ(-1, upper - lower);
  EXPECT_LT(component->GetUserRolesEx(L"CORP", L"nobody", &names, &ids), 0);
  EXPECT_GE(component->CloseCache(), 0);
  component->Release();
  platform::LeaveApartment();
}

TEST_F(DirectoryServerTest, FetchesTheUsersRolesInOrder) {
  WriteDirectory(
      "# two users\n"
      "CORP\talice\tOperators\tR-1\n"
      "CORP\tbob\tEngineers\tR-2\n"
      "CORP\talice\tSupervisors\tR-3\n");
  Roles roles;
  ASSERT_EQ(CACHE_OK, Fetch("alice", kLimit, &roles));
  EXPECT_EQ((Roles{{"Operators", "R-1"}, {"Supervisors", "R-3"}}), roles);
  platform::DirectoryObject* held = directory::ProcessDirectory().fetch.authorizationObject;
  // The file is read again at every call, and the object serves fetch after fetch, on
  // one worker thread after another.
  WriteDirectory("CORP\talice\tEngineers\tR-2\n");
  ASSERT_EQ(CACHE_OK, Fetch("alice", platform::kWaitForever, &roles));
  EXPECT_EQ((Roles{{"Engineers", "R-2"}}), roles);
  EXPECT_EQ(held, directory::ProcessDirectory().fetch.authorizationObject);
}

TEST_F(DirectoryServerTest, ArrayShapesMapToTheirResults) {
  const std::string name62(62, 'n');
  const std::string id63(63, 'i');
  WriteDirectory(
      "CORP\tnone\n"
      "CORP\tnotarray\tOperators\tR-1\n"
      "CORP\tnotarray\t@not-array\tnames\n"
      "CORP\tnoarray\t@no-array\tnames\n"
      "CORP\tnoarray\t@no-array\tids\n"
      "CORP\tthreetwo\tA\t1\nCORP\tthreetwo\tB\t2\nCORP\tthreetwo\t@extra-name\tC\n"
      "CORP\tthreenone\t@extra-name\tA\nCORP\tthreenone\t@extra-name\tB\n"
      "CORP\tthreenone\t@extra-name\tC\n"
      "CORP\tlong\t" +
      name62 + "\tR-1\n" + "CORP\ttoolong\tOperators\t" + id63 +
      "\n"
      "CORP\tfrom1\t@lower-bound\t1\n"
      "CORP\tfrom1\tA\t1\nCORP\tfrom1\tB\t2\nCORP\tfrom1\tC\t3\n"
      "CORP\tfailing\t@fail\n");

  Roles roles{{"stale", "stale"}};
  EXPECT_EQ(CACHE_OK, Fetch("none", kLimit, &roles));
  EXPECT_TRUE(roles.empty());
  EXPECT_EQ(CACHE_OK, Fetch("notarray", kLimit, &roles));
  EXPECT_TRUE(roles.empty());
  EXPECT_EQ(CACHE_OK, Fetch("noarray", kLimit, &roles));
  EXPECT_TRUE(roles.empty());
  EXPECT_EQ(CACHE_E_USER_FETCH_SIZE_MISMATCH, Fetch("threetwo", kLimit));
  EXPECT_EQ(CACHE_E_USER_FETCH_SIZE_MISMATCH, Fetch("threenone", kLimit));

  ASSERT_EQ(CACHE_OK, Fetch("long", kLimit, &roles));
  EXPECT_EQ((Roles{{name62, "R-1"}}), roles);
  EXPECT_EQ(CACHE_E_USER_FETCH_NAME_TOO_LONG, Fetch("toolong", kLimit));
  EXPECT_EQ(0, Got().size());

  ASSERT_EQ(CACHE_OK, Fetch("from1", kLimit, &roles));
  EXPECT_EQ((Roles{{"A", "1"}, {"B", "2"}, {"C", "3"}}), roles);

  EXPECT_EQ(CACHE_E_USER_FETCH_CALL, Fetch("failing", kLimit));
  EXPECT_EQ(CACHE_E_USER_FETCH_CALL, Fetch("unknown", kLimit));
}

TEST_F(DirectoryServerTest, UnreadableElementIsANullString) {
  // An element of a real array can always be read; the server puts a null string in its
  // place, which reads as an empty one.
  WriteDirectory(
      "CORP\tcarol\tA\t1\nCORP\tcarol\tB\t2\n"
      "CORP\tcarol\t@unreadable\tnames\t1\n");
  Roles roles;
  ASSERT_EQ(CACHE_OK, Fetch("carol", kLimit, &roles));
  EXPECT_EQ((Roles{{"A", "1"}, {"", "2"}}), roles);
}

TEST_F(DirectoryServerTest, ServerThatAnswersLateTimesOut) {
  WriteDirectory(
      "CORP\tslow\t@delay\t1500\nCORP\tslow\tOperators\tR-1\n"
      "CORP\tquick\tEngineers\tR-2\n");
  ASSERT_EQ(CACHE_OK, Fetch("quick", kLimit));  // the server is up: only the delay counts

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CACHE_E_FETCH_TIMEOUT, Fetch("slow", 300));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1200ms);

  // The next fetch does not wait for the late one, nor does the late one touch its
  // outputs when it ends.
  Roles roles;
  ASSERT_EQ(CACHE_OK, Fetch("quick", kLimit, &roles));
  EXPECT_EQ((Roles{{"Engineers", "R-2"}}), roles);
  WaitForLateWorkers();
  ASSERT_EQ(1, Got().size());
  EXPECT_STREQ("Engineers", Got().data()[0].name);

  // Without a limit the fetch waits for the answer.
  ASSERT_EQ(CACHE_OK, Fetch("slow", platform::kWaitForever, &roles));
  EXPECT_EQ((Roles{{"Operators", "R-1"}}), roles);
}

TEST_F(DirectoryServerTest, FailedInitializationIsRetriedOnANewObject) {
  WriteDirectory("CORP\talice\tOperators\tR-1\n");
  ASSERT_EQ(CACHE_OK, Fetch("alice", kLimit));
  platform::DirectoryObject* used = directory::ProcessDirectory().fetch.authorizationObject;
  ASSERT_NE(used, nullptr);

  // Fails on the object initialised before, works on a new one, which is kept.
  WriteDirectory("@init-fail\tused\nCORP\talice\tOperators\tR-1\n");
  Roles roles;
  ASSERT_EQ(CACHE_OK, Fetch("alice", kLimit, &roles));
  EXPECT_EQ((Roles{{"Operators", "R-1"}}), roles);
  platform::DirectoryObject* renewed = directory::ProcessDirectory().fetch.authorizationObject;
  EXPECT_NE(renewed, used);
  EXPECT_NE(renewed, nullptr);

  WriteDirectory("@init-fail\talways\nCORP\talice\tOperators\tR-1\n");
  EXPECT_EQ(CACHE_E_USER_FETCH_INIT, Fetch("alice", kLimit));
  EXPECT_EQ(nullptr, directory::ProcessDirectory().fetch.authorizationObject);

  // No object held: creation that fails is its own failure; once it works, so does
  // the fetch.
  WriteDirectory("@create-fail\nCORP\talice\tOperators\tR-1\n");
  EXPECT_EQ(CACHE_E_USER_FETCH_CREATE_AUTHZ, Fetch("alice", kLimit));
  WriteDirectory("CORP\talice\tOperators\tR-1\n");
  ASSERT_EQ(CACHE_OK, Fetch("alice", kLimit, &roles));
  EXPECT_EQ((Roles{{"Operators", "R-1"}}), roles);
}

TEST_F(DirectoryServerTest, ServerThatEndedOrIsNotRegistered) {
  WriteDirectory("CORP\talice\tOperators\tR-1\n");
  ASSERT_EQ(CACHE_OK, Fetch("alice", kLimit));
  ASSERT_EQ(platform::ApartmentJoin::Joined, platform::JoinApartment());
  IOrvAuthorization* object = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_OrvAuthorization, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IOrvAuthorization, reinterpret_cast<void**>(&object)));
  LONG serverId = 0;
  EXPECT_EQ(S_OK, object->GetServerProcessId(&serverId));
  object->Release();
  platform::LeaveApartment();
  HANDLE server = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(serverId));
  ASSERT_NE(server, nullptr);

  // The server ends while this process still holds an object of it.
  SetDword(kServerSettings, "IdleSeconds", 1);
  const DWORD ended = WaitForSingleObject(server, 20000);
  CloseHandle(server);
  RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kServerSettings, "IdleSeconds");
  ASSERT_EQ(WAIT_OBJECT_0, ended);

  // Without the class registered, the held object fails to initialise and no new one
  // can be made; with nothing held, the creation itself fails.
  ASSERT_EQ(0, RunServerCommand("/UnregServer"));
  EXPECT_EQ(CACHE_E_USER_FETCH_INIT, Fetch("alice", kLimit));
  EXPECT_EQ(nullptr, directory::ProcessDirectory().fetch.authorizationObject);
  EXPECT_EQ(CACHE_E_USER_FETCH_CREATE_AUTHZ, Fetch("alice", kLimit));

  // Registered again, the next fetch starts a new server.
  ASSERT_EQ(0, RunServerCommand("/RegServer"));
  Roles roles;
  ASSERT_EQ(CACHE_OK, Fetch("alice", kLimit, &roles));
  EXPECT_EQ((Roles{{"Operators", "R-1"}}), roles);
}

}  // namespace
}  // namespace tq5
