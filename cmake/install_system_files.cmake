# What a Linux installation adds around the library and the command: the server's systemd
# unit, its account (sysusers.d) and state folder (tmpfiles.d), the orvcache(1) man page,
# bash completion and the documentation. systemd, systemd-sysusers and systemd-tmpfiles
# read units and snippets under /usr/lib and /usr/local/lib, so the prefixes /usr and
# /usr/local need nothing more; other prefixes must link them into /etc.

# Not CMAKE_INSTALL_LIBDIR: these folders carry no multiarch part.
set(TQ5_SYSTEM_LIB_DIR lib)

configure_file(packaging/systemd/orvcache.service.in ${CMAKE_BINARY_DIR}/orvcache.service @ONLY)
# The counters for a node exporter, by a timer that the package leaves disabled.
configure_file(packaging/systemd/orvcache-metrics.service.in
  ${CMAKE_BINARY_DIR}/orvcache-metrics.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvcache.service ${CMAKE_BINARY_DIR}/orvcache-metrics.service
  packaging/systemd/orvcache-metrics.timer DESTINATION ${TQ5_SYSTEM_LIB_DIR}/systemd/system)
install(FILES packaging/sysusers/tq5orvcache.conf DESTINATION ${TQ5_SYSTEM_LIB_DIR}/sysusers.d)
install(FILES packaging/tmpfiles/tq5orvcache.conf DESTINATION ${TQ5_SYSTEM_LIB_DIR}/tmpfiles.d)
install(FILES packaging/bash-completion/orvcache
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")

# orvcache(1) from `orvcache --help` and `--version` with the sections help2man cannot
# find there, compressed as Debian keeps manuals.
find_program(TQ5_HELP2MAN help2man)
if(TQ5_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  set(_man ${CMAKE_BINARY_DIR}/man/orvcache.1)
  add_custom_command(OUTPUT ${_man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${TQ5_HELP2MAN} --no-info --section 1 --source tq5orvcache
            "--name=the tq5orvcache cache server and a look inside the cache"
            --include ${CMAKE_SOURCE_DIR}/packaging/man/orvcache.h2m --output ${_man}
            "sh ${CMAKE_SOURCE_DIR}/packaging/man/help_for_man.sh $<TARGET_FILE:orvcache>"
    COMMAND gzip -9nf ${_man}
    DEPENDS orvcache ${CMAKE_SOURCE_DIR}/packaging/man/orvcache.h2m
            ${CMAKE_SOURCE_DIR}/packaging/man/help_for_man.sh
    COMMENT "Writing the orvcache(1) man page")
  add_custom_target(orvcache_man ALL DEPENDS ${_man}.gz)
  install(FILES ${_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no orvcache(1) man page")
endif()

# The machine's settings file, and the registry key folder of the group and version it
# names, so that every process agrees on them and `orvcache timeout MS` works at once.
# The library reads /etc/tq5orvcache whatever the prefix, so only an installation for the
# system (the package's prefix /usr) places them: an install into another prefix must not
# write the machine's /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES packaging/settings/tq5orvcache.conf DESTINATION /etc/tq5orvcache)
  install(DIRECTORY DESTINATION /etc/tq5orvcache/registry/SOFTWARE/Brintel/Zolmar/7.2/PlantA)
endif()
