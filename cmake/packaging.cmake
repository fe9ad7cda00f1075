# CPack, once for every platform: what all packages share, then each platform's own
# (a .deb on Linux: `cpack --preset deb`; the zip on Windows: `cpack` in the build tree).
set(CPACK_PACKAGE_NAME tq5orvcache)
set(CPACK_PACKAGE_VENDOR "tq5orvcache developers")
set(CPACK_PACKAGE_CONTACT "tq5orvcache developers <tq5orvcache@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Machine-wide cache of the security roles each user holds")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/package_zip.cmake)
  include(${CMAKE_CURRENT_LIST_DIR}/package_msi.cmake)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/package_deb.cmake)
endif()

include(CPack)
