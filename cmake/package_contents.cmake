# Read by CPack once for each generator: the .deb takes Debian's copyright file and
# changelog where the archives take the licence file.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(romcast_components program deb)
else()
  set(romcast_components program license)
endif()
set(CPACK_INSTALL_CMAKE_PROJECTS "")
foreach(component ${romcast_components})
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_ROMCAST_BUILD_DIR}" romcast ${component} /)
endforeach()
