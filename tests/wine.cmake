# Runs the end-to-end suite under wine in a prefix of the build tree, headless. A
# fixture boots the prefix with a server that stays up, so that each case starts in
# a fraction of a second and wine's background processes never hold the pipes of a
# case's run; the last test stops the server.
get_filename_component(ROMCAST_WINE_DIR ${CMAKE_CROSSCOMPILING_EMULATOR} DIRECTORY)
find_program(ROMCAST_WINESERVER NAMES wineserver wineserver64 HINTS ${ROMCAST_WINE_DIR} REQUIRED)
set(ROMCAST_WINE_PREFIX ${CMAKE_CURRENT_BINARY_DIR}/wine-prefix)
set(ROMCAST_LOCALES ${CMAKE_CURRENT_BINARY_DIR}/locale)

# Wine passes names and arguments between Unix and Windows through the charset of
# the Unix locale: UTF-8, whatever locale (or none) the environment has. The user's
# Windows locale, and with it the code page, follows the Unix locale's name, so a
# case may name ja_JP.UTF-8, built into the build tree, for a Japanese system.
function(romcast_run_under_wine test)
  set_tests_properties(${test} PROPERTIES
    ENVIRONMENT "WINEPREFIX=${ROMCAST_WINE_PREFIX};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=;LC_ALL=C.UTF-8;LOCPATH=${ROMCAST_LOCALES}"
    ENVIRONMENT_MODIFICATION "DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
endfunction()

add_test(NAME make_japanese_locale
         COMMAND sh -c "mkdir -p '${ROMCAST_LOCALES}' && localedef -i ja_JP -f UTF-8 '${ROMCAST_LOCALES}/ja_JP.UTF-8'")
set_tests_properties(make_japanese_locale PROPERTIES FIXTURES_SETUP japanese_locale)

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
