# Installs the build into a fresh prefix and builds the consumer against it twice: with
# find_package and with pkg-config. Then runs both and the installed command.
#   cmake -DBUILD_DIR=... -DCONSUMER_DIR=... -DWORK_DIR=... -DC_COMPILER=...
#         -DC_FLAGS=... -DPKG_CONFIG=... -DGENERATOR=... -P check_install.cmake
# With -DPREFIX=... instead of -DBUILD_DIR, the prefix is one installed already (a
# package unpacked into a scratch root).

include(${CMAKE_CURRENT_LIST_DIR}/../run_command.cmake)

file(REMOVE_RECURSE ${WORK_DIR})
if(DEFINED PREFIX)
  set(prefix ${PREFIX})
else()
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()
foreach(installed include/tq5orvcache.h bin/orvcache)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

# find_package(tq5orvcache) and the imported target.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${WORK_DIR}/cmake-build/consumer)
message(STATUS "find_package consumer: ${run_output}")

# pkg-config, finding the .pc file only through the installed prefix.
file(GLOB_RECURSE pc_files ${prefix}/*/tq5orvcache.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
set(ENV{PKG_CONFIG_LIBDIR} ${pc_dir})
run(${PKG_CONFIG} --cflags --libs tq5orvcache)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${PKG_CONFIG} --variable=libdir tq5orvcache)
string(STRIP "${run_output}" libdir)
separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS}")
run(${C_COMPILER} ${c_flags} ${CONSUMER_DIR}/consumer.c ${flags} -Wl,-rpath,${libdir}
    -o ${WORK_DIR}/consumer-pkg-config)
run(${WORK_DIR}/consumer-pkg-config)
message(STATUS "pkg-config consumer: ${run_output}")

run(${prefix}/bin/orvcache --help)
