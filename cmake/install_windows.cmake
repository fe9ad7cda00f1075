# What the Windows zip holds (cmake/package_zip.cmake makes it): a folder per processor
# with everything built for it, the header, the documents and the example beside.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(TQ5_ARCH_DIR x64)
else()
  set(TQ5_ARCH_DIR x86)
endif()
install(TARGETS tq5orvcache orvcache orv_directory_server
  RUNTIME DESTINATION ${TQ5_ARCH_DIR} ARCHIVE DESTINATION ${TQ5_ARCH_DIR})
install(FILES ${TQ5_MSVC_IMPORT_LIBRARY} ${CMAKE_BINARY_DIR}/tq5orvcache.def
  DESTINATION ${TQ5_ARCH_DIR})
install(FILES include/tq5orvcache.h DESTINATION include)
install(FILES README.md DESTINATION .)
file(GLOB TQ5_DOCS CONFIGURE_DEPENDS docs/*.md)
install(FILES ${TQ5_DOCS} DESTINATION docs)
file(GLOB TQ5_EXAMPLES CONFIGURE_DEPENDS examples/*.c)
install(FILES ${TQ5_EXAMPLES} DESTINATION docs/examples)
