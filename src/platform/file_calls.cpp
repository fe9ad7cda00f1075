// The table of file calls in use (the system's, unless a test has put others in place),
// and the cache file's steps through it, each reporting its failure with the system's
// reason.
#include "platform/platform.h"

namespace tq5::platform {

namespace {
FileCalls& Calls() {
  static FileCalls calls = SystemFileCalls();
  return calls;
}

// The folder that holds `path`: what is before the last separator (the root itself
// when that is the only one), else the current folder.
std::string FolderOf(const std::string& path) {
  const std::string::size_type at = path.find_last_of(kPathSeparator == '/' ? "/" : "\\/");
  if (at == std::string::npos) return ".";
  return path.substr(0, at == 0 ? 1 : at);
}
}  // namespace

const FileCalls& Files() { return Calls(); }

FileCalls ReplaceFileCalls(const FileCalls& replacement) {
  const FileCalls previous = Calls();
  Calls() = replacement;
  return previous;
}

bool ReadFromFile(FileHandle file, void* bytes, std::size_t size, std::size_t* got) {
  return Files().read(file, bytes, size, got);
}

bool RemoveFile(const std::string& path) { return Files().remove(path.c_str()); }

Status CreateFileForWriting(const std::string& path, const ObjectAccess& access, FileHandle* out) {
  *out = Files().create(path.c_str(), access);
  if (*out == kNoFile) return Status::Failed(CACHE_E_FILE_CREATE, kFileCallNames.create, path);
  return {};
}

Status WriteToFile(FileHandle file, const void* bytes, std::size_t size, const std::string& path) {
  if (!Files().write(file, bytes, size)) {
    return Status::Failed(CACHE_E_FILE_WRITE, kFileCallNames.write, path);
  }
  return {};
}

Status SyncFile(FileHandle file, const std::string& path) {
  if (!Files().sync(file)) return Status::Failed(CACHE_E_FILE_WRITE, kFileCallNames.sync, path);
  return {};
}

Status CloseFile(FileHandle file, const std::string& path) {
  if (!Files().close(file)) return Status::Failed(CACHE_E_FILE_WRITE, kFileCallNames.close, path);
  return {};
}

Status MoveFileOver(const std::string& from, const std::string& to) {
  if (!Files().rename(from.c_str(), to.c_str())) {
    return Status::Failed(CACHE_E_FILE_WRITE, kFileCallNames.rename, from + ", " + to);
  }
  const std::string folder = FolderOf(to);
  if (!Files().syncFolder(folder.c_str())) {
    return Status::Failed(CACHE_E_FILE_WRITE, kFileCallNames.syncFolder, folder);
  }
  return {};
}

}  // namespace tq5::platform
