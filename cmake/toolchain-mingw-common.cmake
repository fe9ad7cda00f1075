# What both Windows cross builds share; toolchain-mingw64.cmake and toolchain-mingw32.cmake
# set TQ5_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR, then include this. The -posix compiler
# variants are the ones with std::thread and std::mutex, which GoogleTest needs. Test
# programs run under Wine through cmake/wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TQ5_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TQ5_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TQ5_MINGW_TRIPLE}-windres)

# Libraries and headers come from the cross sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TQ5_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Each build tree gets a Wine prefix of its own, so that test runs never share kernel
# objects or services with ~/.wine or with another build.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --prefix ${CMAKE_BINARY_DIR}/wineprefix)
