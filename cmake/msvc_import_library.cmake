# tq5orvcache.lib, the import library for programs linked by MSVC's link.exe. It is made
# from the same .def as the DLL, in the short import format that link.exe reads as it
# reads its own; mingw's import library (libtq5orvcache.dll.a) serves GNU linkers.
# A 32-bit build gets one for i386, whose tool adds the leading underscore that 32-bit
# MSVC programs ask for (the exports themselves stay undecorated).
find_program(TQ5_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_dlltool_machine i386:x86-64)
else()
  set(_dlltool_machine i386)
endif()

set(TQ5_MSVC_IMPORT_LIBRARY ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/tq5orvcache.lib)
add_custom_command(
  OUTPUT ${TQ5_MSVC_IMPORT_LIBRARY}
  COMMAND ${TQ5_LLVM_DLLTOOL} -m ${_dlltool_machine} -d ${CMAKE_BINARY_DIR}/tq5orvcache.def
          -l ${TQ5_MSVC_IMPORT_LIBRARY}
  DEPENDS ${CMAKE_BINARY_DIR}/tq5orvcache.def ${CMAKE_SOURCE_DIR}/src/exports/exports.txt
  COMMENT "Making the MSVC import library tq5orvcache.lib"
  VERBATIM)
add_custom_target(tq5orvcache_msvc_import_library ALL DEPENDS ${TQ5_MSVC_IMPORT_LIBRARY})
