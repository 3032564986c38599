# Install layout and the release packages. The version is the project's.
include(GNUInstallDirs)

if(WIN32)
  # The Windows package is a folder to unzip: the program and its README side by side.
  install(TARGETS romcast RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  configure_file(man/romcast.1.in romcast.1 @ONLY)
  install(TARGETS romcast RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/romcast.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR TGZ DEB)
endif()

set(CPACK_PACKAGE_VENDOR "romcast")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Convert an Intel HEX file into a flat binary ROM image")
set(CPACK_PACKAGE_DESCRIPTION
    "romcast converts one Intel HEX file (8-bit variant, 16-bit addresses, at most 64 KiB) into a flat binary image for burning into ROM or flash, checking every record on the way.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "romcast developers <romcast@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
