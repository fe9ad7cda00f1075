# Runs examples/server_and_lookup against the built library, with a directory file of
# its own: the lookups must name the user's roles, and the cache file must be written.
#   cmake -DEXAMPLE=... -DWORK_DIR=... -DPREFIX=... [-DEMULATOR=wine-run.sh|--prefix|DIR
#         -DSTAND_IN=orv_directory_server.exe] -P run_example.cmake
# On Windows the stand-in directory server answers, registered for the file here; paths
# handed to Windows programs are Wine's names for the same files (Z:\...).

include(${CMAKE_CURRENT_LIST_DIR}/run_command.cmake)

function(windows_path path out)
  string(REPLACE "/" "\\" path "${path}")
  set(${out} "Z:${path}" PARENT_SCOPE)
endfunction()

string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/cache)
set(directory ${WORK_DIR}/directory.txt)
file(WRITE ${directory} "CORP\talice\tOperators\tS-1-100\nCORP\talice\tEngineers\tS-1-200\n")

if(EMULATOR)
  windows_path(${directory} directory_choice)
  windows_path(${WORK_DIR}/cache folder)
  run(${EMULATOR} ${STAND_IN} /RegServer /Directory "file:${directory_choice}")
else()
  set(directory_choice file:${directory})
  set(folder ${WORK_DIR}/cache)
endif()

run(${CMAKE_COMMAND} -E env TQ5ORVCACHE_OBJECT_PREFIX=${PREFIX} MERLOC_GROUP_FOLDER_NAME=${folder}
    TQ5ORVCACHE_DIRECTORY=${directory_choice}
    ${EMULATOR} ${EXAMPLE} CORP alice Operators S-1-100 Engineers S-1-200 Viewers S-1-300)
message(STATUS "${run_output}")

string(REGEX MATCHALL "CORP\\\\alice holds 2 role\\(s\\)\r?\n  Operators \\(S-1-100\\)\r?\n  Engineers \\(S-1-200\\)"
       answers "${run_output}")
list(LENGTH answers answered)
if(NOT answered EQUAL 2 OR NOT run_output MATCHES "1 user\\(s\\) cached")
  message(FATAL_ERROR "expected alice's two roles twice and one cached user")
endif()
if(NOT EXISTS ${WORK_DIR}/cache/TQ5ORVCACHE.dat)
  message(FATAL_ERROR "the cache file was not written")
endif()

# POSIX keeps the mutex object until it is removed; this run's is no one else's.
if(NOT EMULATOR)
  file(GLOB left /dev/shm/${PREFIX}*)
  if(left)
    file(REMOVE ${left})
  endif()
endif()
