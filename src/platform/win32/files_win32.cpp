#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

#include <io.h>

namespace tq5::platform {

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const intptr_t osHandle = _get_osfhandle(_fileno(file));
  if (osHandle == -1) return false;
  return FlushFileBuffers(reinterpret_cast<HANDLE>(osHandle)) != 0;
}

bool MoveFileOver(const std::string& from, const std::string& to) {
  // A plain rename fails when `to` exists; WRITE_THROUGH returns only once the move is
  // on the disk.
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace tq5::platform
