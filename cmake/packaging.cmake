# Install layout and the release packages. The version is the project's.
#
# Install components: "program" (the program and its manual page), "license" (the
# licence file of the archives) and "deb" (Debian's copyright file and changelog).
# cmake/package_contents.cmake gives each package generator its components.
include(GNUInstallDirs)

if(WIN32)
  # The Windows package is a folder to unzip: the program, its README and its
  # licence side by side.
  install(TARGETS romcast RUNTIME DESTINATION . COMPONENT program)
  install(FILES README.md DESTINATION . COMPONENT program)
  install(FILES LICENSE DESTINATION . COMPONENT license)
  set(CPACK_GENERATOR ZIP)
else()
  set(ROMCAST_DEB_DIR ${CMAKE_CURRENT_BINARY_DIR}/deb)
  set(ROMCAST_MAINTAINER "romcast developers <romcast@example.org>")
  find_program(ROMCAST_GZIP gzip REQUIRED)

  # Compressed as Debian wants it: "gzip -9n" keeps the name and time out of the
  # header, so that a package is the same from build to build.
  function(romcast_gzip file)
    execute_process(COMMAND ${ROMCAST_GZIP} -9nkf ${file} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip -9nkf ${file} failed: ${status}")
    endif()
  endfunction()

  configure_file(man/romcast.1.in romcast.1 @ONLY)
  romcast_gzip(${CMAKE_CURRENT_BINARY_DIR}/romcast.1)
  configure_file(cmake/deb/changelog.in ${ROMCAST_DEB_DIR}/changelog @ONLY)
  romcast_gzip(${ROMCAST_DEB_DIR}/changelog)

  # The copyright file carries the licence's terms in the machine-readable format:
  # each line indented by one space, an empty line written as " .".
  file(READ LICENSE ROMCAST_LICENSE_TEXT)
  string(FIND "${ROMCAST_LICENSE_TEXT}" "Permission is hereby granted" terms_start)
  string(SUBSTRING "${ROMCAST_LICENSE_TEXT}" ${terms_start} -1 ROMCAST_LICENSE_TEXT)
  string(STRIP "${ROMCAST_LICENSE_TEXT}" ROMCAST_LICENSE_TEXT)
  string(REPLACE "\n\n" "\n.\n" ROMCAST_LICENSE_TEXT "${ROMCAST_LICENSE_TEXT}")
  string(REPLACE "\n" "\n " ROMCAST_LICENSE_TEXT " ${ROMCAST_LICENSE_TEXT}")
  configure_file(cmake/deb/copyright.in ${ROMCAST_DEB_DIR}/copyright @ONLY)

  install(TARGETS romcast RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/romcast.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT program)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
  # Only for the .deb: a plain "cmake --install" leaves them out.
  install(FILES ${ROMCAST_DEB_DIR}/copyright ${ROMCAST_DEB_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR TGZ DEB)
endif()

set(CPACK_PACKAGE_VENDOR "romcast")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Convert an Intel HEX file into a flat binary ROM image")
# The .deb's extended description: lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION [[
romcast converts one Intel HEX file (the 8-bit variant: 16-bit load
addresses, at most 64 KiB) into a flat binary image for burning into ROM or
flash. It checks every record, refuses overlapping data and data beyond
64 KiB, and writes the image from address 0 up to its last byte that is not
0xFF, with 0xFF in the gaps, to a file named like the input with the
extension .bin.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package_contents.cmake)
set(CPACK_ROMCAST_BUILD_DIR ${CMAKE_BINARY_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ROMCAST_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
