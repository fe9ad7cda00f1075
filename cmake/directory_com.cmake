# The directory component's COM interface: the header, the identifiers and the type
# library, generated with widl from src/platform/win32/orv_authorization.idl.
#
# Debian's mingw-w64 ships no .idl files; Wine's development package has the ones that
# `import "oaidl.idl"` needs, and stdole2.tlb for `importlib`.

find_program(TQ5_WIDL NAMES ${TQ5_MINGW_TRIPLE}-widl x86_64-w64-mingw32-widl widl REQUIRED)
set(TQ5_WIDL_IDL_DIR /usr/include/wine/wine/windows
    CACHE PATH "Folder with Wine's oaidl.idl and the other system .idl files")
# stdole2.tlb is only referred to by the type library, so the 64-bit Wine's copy serves
# the 32-bit build as well, which then needs nothing of Wine's 32-bit development files.
set(TQ5_WIDL_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
    CACHE PATH "Folder with Wine's stdole2.tlb")
# The type library records the pointer size of the processes that read it.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TQ5_WIDL_BITS -m32)
else()
  set(TQ5_WIDL_BITS -m64)
endif()
if(NOT EXISTS ${TQ5_WIDL_IDL_DIR}/oaidl.idl)
  message(FATAL_ERROR "No oaidl.idl in ${TQ5_WIDL_IDL_DIR}: install libwine-dev or set "
                      "TQ5_WIDL_IDL_DIR.")
endif()

set(TQ5_ORV_IDL ${CMAKE_SOURCE_DIR}/src/platform/win32/orv_authorization.idl)
set(TQ5_ORV_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated/orv_authorization)
set(TQ5_ORV_HEADER ${TQ5_ORV_GENERATED_DIR}/orv_authorization.h)
set(TQ5_ORV_IDENTIFIERS ${TQ5_ORV_GENERATED_DIR}/orv_authorization_i.c)
# The type library, embedded as a resource in the test directory server.
set(TQ5_ORV_TYPELIB ${TQ5_ORV_GENERATED_DIR}/orv_authorization.tlb)

file(MAKE_DIRECTORY ${TQ5_ORV_GENERATED_DIR})
add_custom_command(
  OUTPUT ${TQ5_ORV_HEADER} ${TQ5_ORV_IDENTIFIERS} ${TQ5_ORV_TYPELIB}
  COMMAND ${TQ5_WIDL} ${TQ5_WIDL_BITS} -I${TQ5_WIDL_IDL_DIR} -L${TQ5_WIDL_TLB_DIR}
          -h -H ${TQ5_ORV_HEADER} -u -U ${TQ5_ORV_IDENTIFIERS} -t -T ${TQ5_ORV_TYPELIB}
          ${TQ5_ORV_IDL}
  DEPENDS ${TQ5_ORV_IDL}
  COMMENT "Generating the OrvAuthorization interface with widl"
  VERBATIM)

# The identifiers, and with them the header and the COM libraries, for whatever uses the
# interface: the library's core and the test server.
add_library(tq5_orv_authorization STATIC ${TQ5_ORV_IDENTIFIERS} ${TQ5_ORV_HEADER})
target_include_directories(tq5_orv_authorization PUBLIC ${TQ5_ORV_GENERATED_DIR})
target_link_libraries(tq5_orv_authorization PUBLIC ole32 oleaut32 uuid)

list(APPEND TQ5_WIN32_LIBS tq5_orv_authorization)
