// Pointing the library's directory at a directory file, on either platform: on POSIX
// through TQ5ORVCACHE_DIRECTORY, on Windows through the registered COM test server,
// which the COM runtime starts without this process's environment and which therefore
// reads the file's path from the registry.
#pragma once

#include <string>

namespace tq5test {

// Makes later fetches of this process (and of peers it starts) read `path`. The file is
// read again at every fetch, so a test may rewrite it at will.
void UseDirectoryFile(const std::string& path);

}  // namespace tq5test
