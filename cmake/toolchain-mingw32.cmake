# Cross build for 32-bit Windows with mingw-w64, for the historian processes that are
# 32-bit; tests run under Wine's 32-bit side in the same kind of prefix.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TQ5_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
