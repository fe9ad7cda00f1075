// The file provider: every call looks at the directory file again, so that a change to
// the file shows at the next fetch; the file is parsed once per version of it.
#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "platform/directory_file_versions.h"
#include "platform/posix/directory_providers_posix.h"
#include "platform/status.h"

namespace tq5::platform::posix {
namespace {

class FileDirectory final : public DirectoryObject {
 public:
  explicit FileDirectory(std::string path) : path_(std::move(path)) {}

  ComponentResult InitializeCache() override {
    const bool before = initialised_.exchange(true);
    try {
      std::string error;
      const auto file = ProcessDirectoryFileVersions().Current(path_, &error);
      if (!file) return Fails("InitializeCache", error);
      if (file->InitializeFails(before)) {
        return Fails("InitializeCache", "the file's @init-fail line fails it on purpose");
      }
      return 0;
    } catch (const std::bad_alloc&) {
      return kCallFailed;
    }
  }

  ComponentResult GetUserRolesEx(const std::wstring& domainName, const std::wstring& userName,
                                 std::unique_ptr<RoleStrings>* names,
                                 std::unique_ptr<RoleStrings>* ids) override {
    try {
      return Answer(domainName, userName, names, ids);
    } catch (const std::bad_alloc&) {
      return kCallFailed;
    }
  }

  ComponentResult CloseCache() override { return 0; }

  void Release() override { delete this; }

  bool StillChosen() override { return IsChosenDirectory("file:" + path_); }

 private:
  ~FileDirectory() = default;

  // A failed call, with the directory's own reason kept as this thread's latest failure
  // for the fetch to hand to its caller.
  ComponentResult Fails(const char* call, const std::string& reason) const {
    NoteRefused(CACHE_E_USER_FETCH_CALL, call, "file:" + path_, reason);
    return kCallFailed;
  }

  ComponentResult Answer(const std::wstring& domainName, const std::wstring& userName,
                         std::unique_ptr<RoleStrings>* names, std::unique_ptr<RoleStrings>* ids) {
    std::string domain;
    std::string user;
    if (!Narrow(domainName, &domain) || !Narrow(userName, &user)) return kCallFailed;
    std::string error;
    const auto file = ProcessDirectoryFileVersions().Current(path_, &error);
    if (!file) return Fails("GetUserRolesEx", error);
    DirectoryAnswer answer = file->AnswerFor(domain, user);
    if (answer.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
    if (!answer.known) {
      return Fails("GetUserRolesEx", "the directory does not know " + domain + "\\" + user);
    }
    if (answer.fail) {
      return Fails("GetUserRolesEx", "the file's line for " + domain + "\\" + user +
                                         " says @fail: every fetch of the user fails on purpose");
    }
    *names = std::make_unique<ArrayStrings>(std::move(answer.names));
    *ids = std::make_unique<ArrayStrings>(std::move(answer.ids));
    return 0;
  }

  const std::string path_;
  // Whether InitializeCache has been called on this object (for "@init-fail used").
  std::atomic<bool> initialised_{false};
};

}  // namespace

DirectoryObject* CreateFileDirectory(const std::string& path) {
  try {
    // A file that cannot be read yet does not stop the creation: InitializeCache says so.
    const auto file = ProcessDirectoryFileVersions().Current(path);
    if (file && file->createFails()) return nullptr;
    return new FileDirectory(path);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace tq5::platform::posix
