// The library's own mappings of shared objects, for the fault guard
// (fault_guard_posix.cpp): any process that may write an object may also shrink it, and a
// page past the object's new end then faults when touched.
#pragma once

#include <cstddef>

namespace tq5::platform {

// Every mapping of a shared object the library makes is registered until it is unmapped.
void RegisterMapping(void* base, std::size_t size);
void UnregisterMapping(void* base);
// Whether a fault inside the mapping at `base` was turned into private zero pages: its
// bytes are no longer all the object's, so no call may use it as it is.
bool MappingDamaged(const void* base);
// Maps `size` bytes of `fd` over the damaged mapping at `base` again, once the object holds
// them; false, the mapping left as it is, otherwise.
bool RestoreMapping(void* base, std::size_t size, int fd);

}  // namespace tq5::platform
