# Runs the end-to-end suite under wine in a prefix of the build tree, headless. A
# fixture boots the prefix with a server that stays up, so that each case starts in
# a fraction of a second and wine's background processes never hold the pipes of a
# case's run; the last test stops the server.
get_filename_component(ROMCAST_WINE_DIR ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(ROMCAST_WINESERVER NAMES wineserver wineserver64 HINTS ${ROMCAST_WINE_DIR} REQUIRED)
set(ROMCAST_WINE_PREFIX ${CMAKE_CURRENT_BINARY_DIR}/wine-prefix)

function(romcast_run_under_wine test)
  set_tests_properties(${test} PROPERTIES
    ENVIRONMENT "WINEPREFIX=${ROMCAST_WINE_PREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe="
    ENVIRONMENT_MODIFICATION "DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
endfunction()

# The server and the background processes that booting starts outlive the fixture:
# none of them may hold the test's output, or CTest would wait for them.
set(ROMCAST_WINE_LOG ${CMAKE_CURRENT_BINARY_DIR}/wine-start.log)
add_test(NAME wine_start
         COMMAND sh -c "mkdir -p '${ROMCAST_WINE_PREFIX}' && { '${ROMCAST_WINESERVER}' -p && '${CMAKE_CROSSCOMPILING_EMULATOR}' wineboot -i; } </dev/null >'${ROMCAST_WINE_LOG}' 2>&1 || { cat '${ROMCAST_WINE_LOG}'; exit 1; }")
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
romcast_run_under_wine(wine_start)
add_test(NAME wine_stop COMMAND ${ROMCAST_WINESERVER} -k)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
romcast_run_under_wine(wine_stop)

# Work directories on drive C:, so that "C:prog.hex" names a file of the case.
set(ROMCAST_CASE_LAUNCHER --launcher ${CMAKE_CROSSCOMPILING_EMULATOR} --work-root ${ROMCAST_WINE_PREFIX}/drive_c/cases)
