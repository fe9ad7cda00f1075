# The .deb: everything `cmake --install` puts under the configured prefix (configure with
# -DCMAKE_INSTALL_PREFIX=/usr, as the `deb` preset does), with the server's account and
# state folder made on installation. Dependencies come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
# The unit's ExecStart was configured for this prefix: the package must use the same.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The lines after the summary (CPACK_PACKAGE_DESCRIPTION_SUMMARY).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A cache server keeps which security roles each user holds in a named shared-memory
region guarded by a machine-wide mutex, for every process of the machine. The package
holds the shared library with its header, CMake package and pkg-config file, the
orvcache command (the server and a look inside the cache) and the server's systemd
unit.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# useradd and groupadd, where systemd-sysusers is not installed.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "systemd")

set(_scripts ${CMAKE_BINARY_DIR}/debian)
foreach(_script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/${_script}.in ${_scripts}/${_script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/triggers ${_scripts}/triggers COPYONLY)
# The settings file is the administrator's: an upgrade keeps their edits.
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/conffiles ${_scripts}/conffiles COPYONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${_scripts}/postinst ${_scripts}/prerm ${_scripts}/postrm ${_scripts}/triggers
  ${_scripts}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
