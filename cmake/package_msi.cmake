# The Windows installer, one x64 MSI that carries both DLLs: `cmake --build --preset
# windows-release --target msi` writes package/tq5orvcache-VERSION-x64.msi with wixl
# (Debian's msitools) from cmake/tq5orvcache.wxs.in, this 64-bit tree's files and those of
# the 32-bit tree that TQ5_ZIP_X86_BUILD_DIR names (the same files as the zip's x86\).
if(NOT (TQ5_ZIP_X86_BUILD_DIR AND CMAKE_SIZEOF_VOID_P EQUAL 8))
  return()
endif()
find_program(TQ5_WIXL wixl)

# wixl takes the files' paths relative to the folder it runs in (this tree), never absolute.
function(tq5_msi_path out path)
  file(RELATIVE_PATH relative ${CMAKE_BINARY_DIR} ${path})
  set(${out} ${relative} PARENT_SCOPE)
endfunction()

# One File element per document and example, with an identifier of its own.
function(tq5_msi_file_lines out prefix)
  set(lines "")
  foreach(path ${ARGN})
    get_filename_component(name ${path} NAME)
    string(MAKE_C_IDENTIFIER "${prefix}_${name}" id)
    tq5_msi_path(source ${path})
    string(APPEND lines "              <File Id=\"${id}\" Name=\"${name}\" Source=\"${source}\" />\n")
  endforeach()
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()
tq5_msi_file_lines(TQ5_MSI_DOC_FILES doc ${TQ5_DOCS})
tq5_msi_file_lines(TQ5_MSI_EXAMPLE_FILES example ${TQ5_EXAMPLES})
set(TQ5_MSI_X64 .)
tq5_msi_path(TQ5_MSI_X86 ${TQ5_ZIP_X86_BUILD_DIR})
tq5_msi_path(TQ5_MSI_SOURCE ${CMAKE_SOURCE_DIR})
configure_file(${CMAKE_CURRENT_LIST_DIR}/tq5orvcache.wxs.in ${CMAKE_BINARY_DIR}/tq5orvcache.wxs
               @ONLY)

set(TQ5_MSI ${CMAKE_BINARY_DIR}/package/tq5orvcache-${PROJECT_VERSION}-x64.msi)
if(TQ5_WIXL)
  add_custom_command(OUTPUT ${TQ5_MSI}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
    COMMAND ${TQ5_WIXL} -a x64 -o ${TQ5_MSI} ${CMAKE_BINARY_DIR}/tq5orvcache.wxs
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${CMAKE_BINARY_DIR}/tq5orvcache.wxs tq5orvcache orvcache orv_directory_server
            ${TQ5_MSVC_IMPORT_LIBRARY} ${TQ5_ZIP_X86_BUILD_DIR}/bin/tq5orvcache.dll
            ${TQ5_ZIP_X86_BUILD_DIR}/bin/orvcache.exe
            ${TQ5_ZIP_X86_BUILD_DIR}/bin/orv_directory_server.exe
            ${TQ5_ZIP_X86_BUILD_DIR}/lib/tq5orvcache.lib
    VERBATIM)
else()
  add_custom_command(OUTPUT ${TQ5_MSI}
    COMMAND ${CMAKE_COMMAND} -E echo "the MSI needs wixl: apt-get install wixl"
    COMMAND ${CMAKE_COMMAND} -E false VERBATIM)
endif()
add_custom_target(msi DEPENDS ${TQ5_MSI})
