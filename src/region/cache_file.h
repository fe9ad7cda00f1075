#pragma once

#include <cstdint>
#include <string>

namespace tq5::region {

// The cache file's full path, "<MERLOC_GROUP_FOLDER_NAME><separator>TQ5ORVCACHE.dat".
// On entry *size is the buffer's size in bytes; on success the path and its NUL are in
// `buffer`, *size is the path's length and the result is 1. Without the variable, or
// when the path does not fit, the result is 0 and the buffer is left as it was.
int GetCacheFilePath(char* buffer, uint32_t* size);

// The same rule for tools: the cache file's path, or false with the reason in *why
// ("MERLOC_GROUP_FOLDER_NAME is not set", a path over 255 characters).
bool CacheFilePath(std::string* path, std::string* why);

// Whether the cache file may be read and written in `folder`: only when no account but
// this process's own and root may write the folder, or the machine accepts such a
// folder (the setting "shared-cache-folder"). *why says who else may write it, and
// whether that was accepted.
bool CacheFolderAccepted(const std::string& folder, std::string* why);

}  // namespace tq5::region
