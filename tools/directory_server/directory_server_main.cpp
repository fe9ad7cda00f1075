// The stand-in directory server: a COM local server of the class OrvAuthorization that
// answers from a directory file (docs/directory-file.md) instead of the real security
// directory. The Windows tests fetch roles through it across processes, through the real
// COM runtime and marshaller; the Windows zip ships it so that the whole cache can be
// tried on a machine without the directory.
//
//   orv_directory_server /RegServer [/Directory PATH]
//                                       registers the class and its type library (and,
//                                       with /Directory, the file to answer from), and
//                                       waits until the COM runtime can start it
//   orv_directory_server /UnregServer   removes both
//   orv_directory_server -Embedding     serves (how the COM runtime starts it)
//
// Which file: the server is started by the COM runtime, not by its client, so it does not
// see the client's environment. At every call it reads the value DirectoryFile of the key
// HKLM\Software\tq5orvcache\DirectoryServer, else TQ5ORVCACHE_DIRECTORY of its own
// environment; either holds "file:<path>" (or just the path). There is one such value
// per machine, so test programs that use the server do not run side by side.
//
// It ends by itself once it has had no call for a while (IdleSeconds in the same key,
// 20 by default): the runtime keeps objects of clients that died, so counting objects
// would keep it alive for good. Its clients then find their objects gone, as after a
// restart of a real directory service; the next activation starts it again.
#include <windows.h>
// After <windows.h>.
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "orv_authorization.h"
#include "platform/directory_file.h"
#include "platform/directory_file_versions.h"

namespace {

using tq5::platform::DirectoryAnswer;
using tq5::platform::DirectoryArray;
using tq5::platform::DirectoryFile;

constexpr const wchar_t* kSettingsKey = L"Software\\tq5orvcache\\DirectoryServer";
constexpr const wchar_t* kClassKey =
    L"Software\\Classes\\CLSID\\{AF00AE8E-D2B0-417E-B809-6A0CC1CCC1D7}";
constexpr DWORD kDefaultIdleSeconds = 20;

// ---- Liveness -------------------------------------------------------------------------

std::atomic<int> activeCalls{0};
std::atomic<uint64_t> lastActivity{0};

void NoteActivity() { lastActivity.store(GetTickCount64()); }

// Counts a call from its start to its end, so that a long one never looks idle.
class CallScope {
 public:
  CallScope() {
    activeCalls.fetch_add(1);
    NoteActivity();
  }
  ~CallScope() {
    NoteActivity();
    activeCalls.fetch_sub(1);
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// ---- Text -----------------------------------------------------------------------------

// The file's bytes stand for the characters of the same numbers, as in the C locale of
// the file provider.
std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

// False when a character has no such byte: no user of the file can have that name.
bool Narrow(const wchar_t* text, UINT length, std::string* out) {
  out->clear();
  for (UINT i = 0; i < length; ++i) {
    if (text[i] > 0xFF) return false;
    out->push_back(static_cast<char>(text[i]));
  }
  return true;
}

std::string NarrowPath(const std::wstring& path) {
  const int length = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, &narrow[0], length, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(length) - 1);
  return narrow;
}

// ---- Settings -------------------------------------------------------------------------

bool ReadSetting(const std::wstring& name, std::wstring* text) {
  wchar_t buffer[2048];
  DWORD size = sizeof buffer - sizeof(wchar_t);
  DWORD type = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name.c_str(), RRF_RT_REG_SZ, &type, buffer,
                   &size) != ERROR_SUCCESS) {
    return false;
  }
  text->assign(buffer, size / sizeof(wchar_t));
  while (!text->empty() && text->back() == L'\0') text->pop_back();
  return true;
}

DWORD IdleSeconds() {
  DWORD seconds = 0;
  DWORD size = sizeof seconds;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"IdleSeconds", RRF_RT_REG_DWORD, nullptr,
                   &seconds, &size) != ERROR_SUCCESS ||
      seconds == 0) {
    return kDefaultIdleSeconds;
  }
  return seconds;
}

std::string DirectoryPath() {
  std::wstring choice;
  if (!ReadSetting(L"DirectoryFile", &choice)) {
    wchar_t buffer[2048];
    const DWORD length = GetEnvironmentVariableW(L"TQ5ORVCACHE_DIRECTORY", buffer, 2048);
    if (length == 0 || length >= 2048) return std::string();
    choice.assign(buffer, length);
  }
  const std::wstring filePrefix = L"file:";
  if (choice.compare(0, filePrefix.size(), filePrefix) == 0) choice.erase(0, filePrefix.size());
  return NarrowPath(choice);
}

// The directory file as it is now (parsed again only when it has changed); null when it
// cannot be read or parsed.
std::shared_ptr<const DirectoryFile> CurrentDirectory() {
  const std::string path = DirectoryPath();
  if (path.empty()) return nullptr;
  try {
    return tq5::platform::ProcessDirectoryFileVersions().Current(path);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// ---- Answers --------------------------------------------------------------------------

// Fills `out` with one out-array as the file describes it.
HRESULT MakeArray(const DirectoryArray& array, VARIANT* out) {
  VariantInit(out);
  if (array.shape == DirectoryArray::Shape::NotArray) {
    // A plain string: an output of another type than an array of strings.
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = SysAllocString(L"not an array");
    return V_BSTR(out) != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  V_VT(out) = VT_ARRAY | VT_BSTR;
  V_ARRAY(out) = nullptr;
  if (array.shape == DirectoryArray::Shape::NoArray) return S_OK;
  SAFEARRAYBOUND bound;
  bound.lLbound = array.lowerBound;
  bound.cElements = static_cast<ULONG>(array.elements.size());
  SAFEARRAY* strings = SafeArrayCreate(VT_BSTR, 1, &bound);
  if (strings == nullptr) return E_OUTOFMEMORY;
  V_ARRAY(out) = strings;
  for (size_t position = 0; position < array.elements.size(); ++position) {
    // A real array's elements can always be read; the nearest to an unreadable element
    // is a null string, which the caller reads as empty.
    if (!array.Readable(position)) continue;
    const std::wstring text = Widen(array.elements[position]);
    BSTR element = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (element == nullptr) return E_OUTOFMEMORY;
    LONG index = array.lowerBound + static_cast<LONG>(position);
    const HRESULT put = SafeArrayPutElement(strings, &index, element);  // copies it
    SysFreeString(element);
    if (FAILED(put)) return put;
  }
  return S_OK;
}

// ---- The object -----------------------------------------------------------------------

class Authorization final : public IOrvAuthorization {
 public:
  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOrvAuthorization)) {
      *out = static_cast<IOrvAuthorization*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IOrvAuthorization
  HRESULT STDMETHODCALLTYPE GetInterfaceVersion(LONG* version) override {
    CallScope call;
    if (version == nullptr) return E_POINTER;
    *version = 1;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE CloseCache() override {
    CallScope call;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE InitializeCache() override {
    CallScope call;
    const bool before = initialised_.exchange(true);
    const auto file = CurrentDirectory();
    if (!file || file->InitializeFails(before)) return E_FAIL;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetUserRolesEx(BSTR domainName, BSTR userName, VARIANT* names,
                                           VARIANT* ids) override {
    CallScope call;
    if (names == nullptr || ids == nullptr) return E_POINTER;
    VariantInit(names);
    VariantInit(ids);
    try {
      const HRESULT result = Answer(domainName, userName, names, ids);
      if (FAILED(result)) {
        VariantClear(names);
        VariantClear(ids);
      }
      return result;
    } catch (const std::bad_alloc&) {
      VariantClear(names);
      VariantClear(ids);
      return E_OUTOFMEMORY;
    }
  }

  HRESULT STDMETHODCALLTYPE GetServerProcessId(LONG* processId) override {
    CallScope call;
    if (processId == nullptr) return E_POINTER;
    *processId = static_cast<LONG>(GetCurrentProcessId());
    return S_OK;
  }

 private:
  ~Authorization() = default;

  static HRESULT Answer(BSTR domainName, BSTR userName, VARIANT* names, VARIANT* ids) {
    std::string domain;
    std::string user;
    if (!Narrow(domainName, SysStringLen(domainName), &domain) ||
        !Narrow(userName, SysStringLen(userName), &user)) {
      return E_FAIL;
    }
    const auto file = CurrentDirectory();
    if (!file) return E_FAIL;
    const DirectoryAnswer answer = file->AnswerFor(domain, user);
    if (answer.delayMs > 0) Sleep(answer.delayMs);
    if (!answer.known || answer.fail) return E_FAIL;
    const HRESULT made = MakeArray(answer.names, names);
    return FAILED(made) ? made : MakeArray(answer.ids, ids);
  }

  std::atomic<ULONG> references_{1};
  // Whether InitializeCache has been called on this object ("@init-fail used").
  std::atomic<bool> initialised_{false};
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // One static factory for the life of the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    CallScope call;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    // A file that cannot be read does not stop the creation; InitializeCache says so.
    const auto file = CurrentDirectory();
    if (file && file->createFails()) return E_FAIL;
    auto* object = new (std::nothrow) Authorization;
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = object->QueryInterface(iid, out);
    object->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override {
    NoteActivity();
    return S_OK;
  }
};

// ---- Registration ---------------------------------------------------------------------

std::wstring ExecutablePath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// The COM runtime's service must be up before the first activation. Wine starts it on
// demand, but for a while after a new prefix boots its service manager refuses (database
// locked) or times out, and an activation that meets that fails only minutes later. The
// manager may also report the service stopped while its process is coming up, and a
// second start then runs a second copy that knows nothing of the servers registered with
// the first. So: done when the manager reports it running or Wine's copy has opened its
// endpoint; otherwise start it, again at once after a locked database, else only after a
// pause long enough for a slow start to show.
bool ComServiceRunning(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  ULONGLONG nextStart = 0;
  bool running = false;
  // Right after a prefix boots, its service manager may not answer yet: opening it, the
  // service or its status can fail for a moment, so each step is tried again until the
  // deadline rather than taken as the answer.
  for (;;) {
    if (manager == nullptr) manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr && service == nullptr) {
      service = OpenServiceA(manager, "RpcSs", SERVICE_START | SERVICE_QUERY_STATUS);
      if (service == nullptr) service = OpenServiceA(manager, "RpcSs", SERVICE_QUERY_STATUS);
    }
    SERVICE_STATUS status{};
    if (service != nullptr && QueryServiceStatus(service, &status)) {
      running = status.dwCurrentState == SERVICE_RUNNING ||
                WaitNamedPipeA("\\\\.\\pipe\\lrpc\\irpcss", 1) ||
                GetLastError() == ERROR_SEM_TIMEOUT;  // there, but busy
      if (!running && status.dwCurrentState == SERVICE_STOPPED &&
          GetTickCount64() >= nextStart) {
        const bool locked = !StartServiceA(service, 0, nullptr) &&
                            GetLastError() == ERROR_SERVICE_DATABASE_LOCKED;
        nextStart = GetTickCount64() + (locked ? 0 : 10000);
      }
    }
    if (running || GetTickCount64() > deadline) break;
    Sleep(250);
  }
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
  return running;
}

// `directory`: the file to answer from, written to the settings key; empty leaves the
// key as it is.
int Register(const std::wstring& directory) {
  const std::wstring exe = ExecutablePath();
  if (!directory.empty()) {
    HKEY settings = nullptr;
    bool set = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &settings, nullptr) == ERROR_SUCCESS;
    set = set && SetString(settings, L"DirectoryFile", directory);
    if (settings != nullptr) RegCloseKey(settings);
    if (!set) return 3;
  }
  // Registers the type library embedded in this program and, with it, the interface
  // with the type-library marshaller as its proxy.
  ITypeLib* library = nullptr;
  if (FAILED(LoadTypeLibEx(exe.c_str(), REGKIND_REGISTER, &library))) return 2;
  library->Release();
  HKEY classKey = nullptr;
  HKEY serverKey = nullptr;
  bool ok = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kClassKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &classKey, nullptr) == ERROR_SUCCESS;
  ok = ok && SetString(classKey, nullptr, L"OrvAuthorization");
  ok = ok && RegCreateKeyExW(classKey, L"LocalServer32", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &serverKey, nullptr) == ERROR_SUCCESS;
  ok = ok && SetString(serverKey, nullptr, L"\"" + exe + L"\"");
  if (serverKey != nullptr) RegCloseKey(serverKey);
  if (classKey != nullptr) RegCloseKey(classKey);
  if (!ok) return 3;
  // Ready to be activated only once the runtime's service is up.
  return ComServiceRunning(120000) ? 0 : 6;
}

int Unregister() {
  UnRegisterTypeLib(LIBID_OrvAuthorizationLib, 1, 0, LOCALE_NEUTRAL,
                    sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  const LSTATUS removed = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKey);
  return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND ? 0 : 3;
}

// ---- Serving --------------------------------------------------------------------------

int Serve() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 4;
  static Factory factory;
  DWORD cookie = 0;
  NoteActivity();
  if (FAILED(CoRegisterClassObject(CLSID_OrvAuthorization, &factory, CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie))) {
    CoUninitialize();
    return 5;
  }
  // The setting is read again each time, so that a test can have a running server end.
  while (activeCalls.load() > 0 ||
         GetTickCount64() - lastActivity.load() < static_cast<uint64_t>(IdleSeconds()) * 1000) {
    Sleep(200);
  }
  // Revoked before the end: a class object left registered by a dead server makes every
  // later activation fail.
  CoRevokeClassObject(cookie);
  CoUninitialize();
  return 0;
}

bool IsSwitch(const wchar_t* arg, const wchar_t* name) {
  return (arg[0] == L'/' || arg[0] == L'-') && _wcsicmp(arg + 1, name) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring directory;
  for (int i = 1; i + 1 < argc; ++i) {
    if (IsSwitch(argv[i], L"Directory")) directory = argv[i + 1];
  }
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], L"RegServer")) return Register(directory);
    if (IsSwitch(argv[i], L"UnregServer")) return Unregister();
  }
  // -Embedding, as the COM runtime starts it, or nothing.
  return Serve();
}
