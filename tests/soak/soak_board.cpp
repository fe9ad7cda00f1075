#include "soak_board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace tq5::soak {

Board* MapBoard(const std::string& path, bool create) {
  const int fd = open(path.c_str(), create ? O_RDWR | O_CREAT | O_EXCL : O_RDWR, 0600);
  if (fd < 0) return nullptr;
  if (create && ftruncate(fd, sizeof(Board)) != 0) {
    close(fd);
    return nullptr;
  }
  void* view = mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (view == MAP_FAILED) return nullptr;
  // The file is zero-filled, which is what a new Board holds; constructing it once in
  // the creator makes the atomics' lifetime begin without changing a byte.
  return create ? new (view) Board : static_cast<Board*>(view);
}

}  // namespace tq5::soak
