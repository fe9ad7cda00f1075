# Checks that a built library exports exactly the names of src/exports/exports.txt, and
# that each of them is declared in the public header.
#   cmake -DARTIFACT=<lib> -DLIST=<exports.txt> -DHEADER=<tq5orvcache.h> -DTOOL=<nm|objdump>
#         -DKIND=<elf|pe> -P check_exports.cmake
file(STRINGS "${LIST}" expected REGEX "^[A-Za-z]")
list(SORT expected)

file(READ "${HEADER}" header)
foreach(name IN LISTS expected)
  if(NOT header MATCHES "(ResultCode|void) ${name}\\(")
    message(FATAL_ERROR "${name} is exported but not declared in ${HEADER}")
  endif()
endforeach()

if(KIND STREQUAL "elf")
  execute_process(COMMAND "${TOOL}" -D --defined-only "${ARTIFACT}"
                  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  set(pattern "^[0-9a-fA-F]+ [A-Za-z] ([^ ]+)$")
else()
  execute_process(COMMAND "${TOOL}" -p "${ARTIFACT}" OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  string(REGEX REPLACE "^.*\\[Ordinal/Name Pointer\\] Table[^\n]*\n" "" listing "${listing}")
  string(REGEX REPLACE "\n[ \t]*\n.*$" "" listing "${listing}")
  set(pattern "^[ \t]*\\[ *[0-9]+\\] ([^ ]+)$")
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list the exports of ${ARTIFACT}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(actual "")
foreach(line IN LISTS lines)
  if(line MATCHES "${pattern}")
    list(APPEND actual "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT actual)

if(NOT actual STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${actual})
  set(extra ${actual})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "export list of ${ARTIFACT} differs\n  missing: ${missing}\n  extra: ${extra}")
endif()
list(LENGTH actual count)
message(STATUS "${ARTIFACT}: ${count} exports, as listed")
