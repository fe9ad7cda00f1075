#include <climits>
#include <cstdint>
#include <cwchar>
#include <new>

#include "platform/directory_component.h"
#include "platform/win32/com_api.h"
#include "platform/win32/role_strings_win32.h"

namespace tq5::platform {

ApartmentJoin JoinApartment() {
  const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (result == S_OK || result == S_FALSE) return ApartmentJoin::Joined;
  if (result == RPC_E_CHANGED_MODE) return ApartmentJoin::ChangedMode;
  return ApartmentJoin::Failed;
}

void LeaveApartment() { CoUninitialize(); }

namespace win32 {
namespace {

class VariantRoleStrings final : public RoleStrings {
 public:
  explicit VariantRoleStrings(VARIANT* variant) {
    // A plain move: the new owner clears it, the old one is left empty.
    value_ = *variant;
    VariantInit(variant);
  }
  ~VariantRoleStrings() override { VariantClear(&value_); }
  VariantRoleStrings(const VariantRoleStrings&) = delete;
  VariantRoleStrings& operator=(const VariantRoleStrings&) = delete;

  bool IsStringArray() const override {
    if (V_VT(&value_) != (VT_ARRAY | VT_BSTR)) return false;
    // Read with one index, an array of more dimensions would be read out of bounds.
    return V_ARRAY(&value_) == nullptr || SafeArrayGetDim(V_ARRAY(&value_)) == 1;
  }

  bool Bounds(int32_t* lower, int32_t* upper) const override {
    SAFEARRAY* array = Array();
    if (array == nullptr) return false;
    LONG low = 0;
    LONG high = 0;
    if (FAILED(SafeArrayGetLBound(array, 1, &low)) || FAILED(SafeArrayGetUBound(array, 1, &high))) {
      return false;
    }
    *lower = low;
    *upper = high;
    return true;
  }

  bool Element(int32_t index, std::wstring* text) const override {
    SAFEARRAY* array = Array();
    LONG lower = 0;
    if (array == nullptr || index < 0 || FAILED(SafeArrayGetLBound(array, 1, &lower))) return false;
    // `index` counts from the lower bound; past the upper bound the read below fails.
    const int64_t position = static_cast<int64_t>(lower) + index;
    if (position > INT32_MAX) return false;
    LONG at = static_cast<LONG>(position);
    BSTR element = nullptr;
    // A copy of the element, which is ours to free; out-of-bounds indexes fail here.
    if (FAILED(SafeArrayGetElement(array, &at, &element))) return false;
    if (element == nullptr) {
      text->clear();
      return true;
    }
    bool copied = true;
    try {
      text->assign(element, SysStringLen(element));
    } catch (...) {
      copied = false;
    }
    SysFreeString(element);
    return copied;
  }

 private:
  // The array when this holds a one-dimensional array of strings, else null.
  SAFEARRAY* Array() const { return IsStringArray() ? V_ARRAY(&value_) : nullptr; }

  VARIANT value_;
};

// A BSTR that frees itself.
class ComString {
 public:
  explicit ComString(const std::wstring& text)
      : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~ComString() { SysFreeString(value_); }
  ComString(const ComString&) = delete;
  ComString& operator=(const ComString&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

// Keeps the process's multithreaded apartment in being while no thread is in it. Each
// fetch's worker joins the apartment and leaves it when done; when the last one leaves,
// the runtime tears the apartment down and disconnects every proxy made in it, so the
// held object would be dead at the next fetch. Its usage functions came with Windows 8;
// without them the object is simply made again at each fetch.
class ApartmentUsage {
 public:
  ApartmentUsage() {
    if (Functions().increment != nullptr && FAILED(Functions().increment(&cookie_))) {
      cookie_ = nullptr;
    }
  }
  ~ApartmentUsage() {
    if (cookie_ != nullptr) Functions().decrement(cookie_);
  }
  ApartmentUsage(const ApartmentUsage&) = delete;
  ApartmentUsage& operator=(const ApartmentUsage&) = delete;

 private:
  struct UsageFunctions {
    HRESULT(WINAPI* increment)(CO_MTA_USAGE_COOKIE*) = nullptr;
    HRESULT(WINAPI* decrement)(CO_MTA_USAGE_COOKIE) = nullptr;
  };
  static const UsageFunctions& Functions() {
    static const UsageFunctions functions = [] {
      UsageFunctions found;
      // ole32 is loaded: this library imports it.
      if (HMODULE ole32 = GetModuleHandleA("ole32.dll")) {
        found.increment = reinterpret_cast<decltype(found.increment)>(
            reinterpret_cast<void (*)()>(GetProcAddress(ole32, "CoIncrementMTAUsage")));
        found.decrement = reinterpret_cast<decltype(found.decrement)>(
            reinterpret_cast<void (*)()>(GetProcAddress(ole32, "CoDecrementMTAUsage")));
      }
      if (found.increment == nullptr || found.decrement == nullptr) found = UsageFunctions();
      return found;
    }();
    return functions;
  }

  CO_MTA_USAGE_COOKIE cookie_ = nullptr;
};

class ComDirectoryObject final : public DirectoryObject {
 public:
  explicit ComDirectoryObject(IOrvAuthorization* object) : object_(object) {}
  ComDirectoryObject(const ComDirectoryObject&) = delete;
  ComDirectoryObject& operator=(const ComDirectoryObject&) = delete;

  ComponentResult InitializeCache() override { return object_->InitializeCache(); }

  ComponentResult GetUserRolesEx(const std::wstring& domainName, const std::wstring& userName,
                                 std::unique_ptr<RoleStrings>* names,
                                 std::unique_ptr<RoleStrings>* ids) override {
    names->reset();
    ids->reset();
    ComString domain(domainName);
    ComString user(userName);
    if (domain.get() == nullptr || user.get() == nullptr) return E_OUTOFMEMORY;
    VARIANT nameValues;
    VARIANT idValues;
    VariantInit(&nameValues);
    VariantInit(&idValues);
    const HRESULT result =
        object_->GetUserRolesEx(domain.get(), user.get(), &nameValues, &idValues);
    // Whatever came back is cleared by its wrapper, also after a failure.
    auto* nameStrings = new (std::nothrow) VariantRoleStrings(&nameValues);
    auto* idStrings = new (std::nothrow) VariantRoleStrings(&idValues);
    if (nameStrings == nullptr || idStrings == nullptr) {
      delete nameStrings;
      delete idStrings;
      VariantClear(&nameValues);
      VariantClear(&idValues);
      return FAILED(result) ? result : E_OUTOFMEMORY;
    }
    names->reset(nameStrings);
    ids->reset(idStrings);
    return result;
  }

  ComponentResult CloseCache() override { return object_->CloseCache(); }

  // The apartment is let go after the object: a proxy is released inside its apartment.
  void Release() override {
    object_->Release();
    delete this;
  }

 private:
  ~ComDirectoryObject() = default;

  ApartmentUsage apartment_;
  IOrvAuthorization* object_;
};

}  // namespace

std::unique_ptr<RoleStrings> TakeRoleStrings(VARIANT* variant) {
  return std::make_unique<VariantRoleStrings>(variant);
}

}  // namespace win32

DirectoryObject* CreateDirectoryObject() {
  IOrvAuthorization* object = nullptr;
  const HRESULT result = CoCreateInstance(CLSID_OrvAuthorization, nullptr, CLSCTX_LOCAL_SERVER,
                                          IID_IOrvAuthorization, reinterpret_cast<void**>(&object));
  if (FAILED(result) || object == nullptr) return nullptr;
  auto* adapter = new (std::nothrow) win32::ComDirectoryObject(object);
  if (adapter == nullptr) object->Release();
  return adapter;
}

bool ToComponentString(const char* text, std::wstring* out) {
  if (text == nullptr) return false;
  // The length with the terminating NUL.
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 0) return false;
  try {
    out->resize(static_cast<size_t>(length));
  } catch (...) {
    return false;
  }
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, &(*out)[0], length) != length) return false;
  out->resize(static_cast<size_t>(length) - 1);
  return true;
}

std::string FromComponentString(const std::wstring& text) {
  std::string bytes;
  std::mbstate_t state{};
  char encoded[MB_LEN_MAX];
  for (const wchar_t c : text) {
    if (c == L'\0') break;
    const std::size_t n = std::wcrtomb(encoded, c, &state);
    if (n == static_cast<std::size_t>(-1)) {
      bytes.push_back('?');
      state = std::mbstate_t{};
    } else {
      bytes.append(encoded, n);
    }
  }
  return bytes;
}

}  // namespace tq5::platform
