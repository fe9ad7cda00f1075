# Makes the Windows zip of one build with cpack and checks what that build packs, in its
# processor's folder ARCH (x64 or x86): every file in its place, the .def with the plain
# export names, and both import libraries (the MSVC one and mingw's) valid archives that
# import exactly the listed exports from tq5orvcache.dll.
# Then a program built for the MSVC ABI links against the zip's tq5orvcache.lib with an
# MSVC-compatible linker; it is left in WORK_DIR/msvc_link beside the zip's DLL, for the
# test that runs it under Wine. Nothing here needs Wine.
#   cmake -DBUILD_DIR=... -DARCH=x64|x86 -DCPACK=... -DNM=... -DLIST=exports.txt
#         -DWORK_DIR=... -DCLANG=... -DLLD_LINK=... -DLINK_CHECK=msvc_link_check.c
#         -P check_zip.cmake

include(${CMAKE_CURRENT_LIST_DIR}/run_command.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/unpacked)
run(${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -G ZIP -B ${WORK_DIR}/out)
file(GLOB zip ${WORK_DIR}/out/tq5orvcache-*-windows.zip)
list(LENGTH zip zips)
if(NOT zips EQUAL 1)
  message(FATAL_ERROR "expected one zip in ${WORK_DIR}/out, found: ${zip}")
endif()
run(${CMAKE_COMMAND} -E chdir ${WORK_DIR}/unpacked ${CMAKE_COMMAND} -E tar xf ${zip})
get_filename_component(top ${zip} NAME_WE)
string(REGEX REPLACE "\\.zip$" "" top "${zip}")
get_filename_component(top ${top} NAME)
set(root ${WORK_DIR}/unpacked/${top})

set(missing "")
if(ARCH STREQUAL "x64")
  set(clang_target x86_64-pc-windows-msvc)
  set(link_machine x64)
  set(other_arch x86)
  set(decoration "")
elseif(ARCH STREQUAL "x86")
  set(clang_target i686-pc-windows-msvc)
  set(link_machine x86)
  set(other_arch x64)
  # 32-bit MSVC programs ask for C functions with a leading underscore; the DLL's exports
  # stay undecorated.
  set(decoration "_")
else()
  message(FATAL_ERROR "ARCH must be x64 or x86, not '${ARCH}'")
endif()

foreach(file ${ARCH}/tq5orvcache.dll ${ARCH}/orvcache.exe ${ARCH}/orv_directory_server.exe
             ${ARCH}/tq5orvcache.lib ${ARCH}/libtq5orvcache.dll.a ${ARCH}/tq5orvcache.def
             include/tq5orvcache.h README.md docs/directory-file.md docs/windows.md
             docs/examples/server_and_lookup.c)
  if(NOT EXISTS ${root}/${file})
    list(APPEND missing ${file})
  endif()
endforeach()
file(GLOB_RECURSE present RELATIVE ${WORK_DIR}/unpacked ${WORK_DIR}/unpacked/*)
if(missing)
  message(FATAL_ERROR "missing from the zip: ${missing}\nthe zip holds: ${present}")
endif()
# One build packs its own processor's folder only (the test command packs both).
list(FILTER present INCLUDE REGEX "/${other_arch}/")
if(present)
  message(FATAL_ERROR "this build's zip holds files of the other processor: ${present}")
endif()

file(STRINGS ${LIST} exports REGEX "^[A-Za-z]")
list(SORT exports)

# The .def: the listed names as they are, no @ordinal or @size decoration.
file(STRINGS ${root}/${ARCH}/tq5orvcache.def def_lines)
set(def_names "")
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND NOT line STREQUAL "")
    list(APPEND def_names "${line}")
  endif()
endforeach()
list(SORT def_names)
if(NOT def_names STREQUAL exports)
  message(FATAL_ERROR "the .def's exports differ from the list:\n${def_names}\n${exports}")
endif()

# Each import library defines, for every export, the call's thunk and its __imp_ pointer,
# and nothing else of that kind.
foreach(library tq5orvcache.lib libtq5orvcache.dll.a)
  run(${NM} ${root}/${ARCH}/${library})
  string(REPLACE "\n" ";" lines "${run_output}")
  set(thunks "")
  set(pointers "")
  foreach(line IN LISTS lines)
    if(line MATCHES " [TI] __imp_${decoration}([A-Za-z0-9_]+)$")
      list(APPEND pointers ${CMAKE_MATCH_1})
    elseif(line MATCHES " T ${decoration}([A-Za-z0-9_]+)$")
      list(APPEND thunks ${CMAKE_MATCH_1})
    endif()
  endforeach()
  foreach(kind thunks pointers)
    list(SORT ${kind})
    if(NOT ${kind} STREQUAL exports)
      message(FATAL_ERROR "${library}: ${kind} differ from the export list:\n${${kind}}")
    endif()
  endforeach()
  if(NOT run_output MATCHES "tq5orvcache[._]dll")
    message(FATAL_ERROR "${library} does not import from tq5orvcache.dll:\n${run_output}")
  endif()
endforeach()

# MSVC's own linker reads the same short import format that lld-link writes and reads.
set(link_dir ${WORK_DIR}/msvc_link)
file(MAKE_DIRECTORY ${link_dir})
run(${CLANG} --target=${clang_target} -ffreestanding -fno-stack-protector -O1
    -I${root}/include -c ${LINK_CHECK} -o ${link_dir}/msvc_link_check.obj)
run(${LLD_LINK} /nologo /nodefaultlib /subsystem:console /entry:mainCRTStartup
    /machine:${link_machine} ${link_dir}/msvc_link_check.obj ${root}/${ARCH}/tq5orvcache.lib
    /out:${link_dir}/msvc_link_check.exe)
file(COPY ${root}/${ARCH}/tq5orvcache.dll DESTINATION ${link_dir})
message(STATUS "${zip}: ${ARCH} complete; the .def and both import libraries list the "
               "exports; an MSVC-ABI program links against tq5orvcache.lib")
