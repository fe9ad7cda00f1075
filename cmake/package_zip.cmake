# The Windows zip: one folder per processor (x64 from this build; x86 from a 32-bit build
# tree when TQ5_ZIP_X86_BUILD_DIR names one) with the DLL, the command, the stand-in
# directory server, both import libraries and the .def; beside them include/, docs/ and
# the README. `cpack` in the build tree writes package/tq5orvcache-VERSION-windows.zip.
set(TQ5_ZIP_X86_BUILD_DIR "" CACHE PATH
    "A built 32-bit Windows tree whose outputs the zip carries in x86/ (empty: none)")
if(TQ5_ZIP_X86_BUILD_DIR)
  # The same files as this build's, where that build puts them; install fails at packaging
  # time, naming the file, if the tree lacks one. They go in as they are (not stripped):
  # take them from a Release tree.
  set(_x86 ${TQ5_ZIP_X86_BUILD_DIR})
  install(PROGRAMS ${_x86}/bin/tq5orvcache.dll ${_x86}/bin/orvcache.exe
                   ${_x86}/bin/orv_directory_server.exe DESTINATION x86)
  install(FILES ${_x86}/lib/tq5orvcache.lib ${_x86}/lib/libtq5orvcache.dll.a
                ${_x86}/tq5orvcache.def DESTINATION x86)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tq5orvcache-${PROJECT_VERSION}-windows)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# Unzipped, everything sits in one folder named like the zip.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Without the debugging symbols of a Debug build: a few MB instead of tens.
set(CPACK_STRIP_FILES ON)
