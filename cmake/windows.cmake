# Windows-only parts of the build: system libraries, GoogleTest built from source with the
# cross compiler, and the Wine prefix that every test runs in.

# What ships is built by the Release presets: optimised, and linked without the symbol
# table, which only a debugger would read (the Debug presets keep everything for the tests).
add_link_options($<$<CONFIG:Release>:-s>)

# Security descriptors (and later the registry) live in advapi32.
set(TQ5_WIN32_LIBS advapi32)
include(${CMAKE_CURRENT_LIST_DIR}/directory_com.cmake)

if(TQ5_BUILD_TESTS)
  # Debian's `googletest` package ships the sources only; build them with the cross
  # compiler. Their warnings are not ours to fix, so they do not stop the build.
  set(TQ5_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${TQ5_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(_gtest_target gtest gtest_main gmock gmock_main)
    target_compile_options(${_gtest_target} PRIVATE -Wno-error)
  endforeach()
  # The names find_package(GTest) gives on the native build; recent GoogleTest trees
  # define them already.
  foreach(_gtest_target gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${_gtest_target})
      add_library(GTest::${_gtest_target} ALIAS ${_gtest_target})
    endif()
  endforeach()
endif()

# The emulator set by the toolchain file, which also names the build's Wine prefix.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "The Windows build runs its tests under Wine: configure it with "
                      "cmake/toolchain-mingw64.cmake (preset `windows`).")
endif()

# Every test requires this fixture: the prefix is booted once before the first test (so
# that tests started side by side do not each create it) and its processes are ended
# after the last one.
set(TQ5_TEST_FIXTURES wine_prefix)

# Adds the fixture's setup and cleanup; call where testing is enabled.
function(tq5_add_wine_fixtures)
  add_test(NAME wine_prefix_boot COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --boot)
  add_test(NAME wine_prefix_shutdown COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --shutdown)
  set_tests_properties(wine_prefix_boot PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 180)
  set_tests_properties(wine_prefix_shutdown PROPERTIES FIXTURES_CLEANUP wine_prefix TIMEOUT 60)
endfunction()
