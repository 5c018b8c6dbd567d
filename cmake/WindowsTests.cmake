# Tests of the Windows build, run on the Linux build machine: the binary
# interface (import and export tables), the package, and the Linux build's
# end-to-end tests against this program under Wine.
find_program(KORLINTH_OBJDUMP NAMES ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32-objdump REQUIRED)
set(KORLINTH_LINUX_PROGRAM_TESTS "${PROJECT_SOURCE_DIR}/build/default/tests/program_tests"
  CACHE FILEPATH "The Linux build's program_tests, run against this build under Wine")
enable_testing()

add_test(NAME WindowsBinary.ImportsAndExportsTheFifteenFunctions
  COMMAND ${PROJECT_SOURCE_DIR}/tests/windows/check-binary-interface
          ${KORLINTH_OBJDUMP} $<TARGET_FILE:korlinth-update> $<TARGET_FILE:cp210x_sim>)

# Wine's loader and server of this build's width. A 32-bit build needs a
# kernel that runs 32-bit x86 programs; where it does not, the tests under
# Wine are one skipped test that says so.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KORLINTH_WINE /usr/lib/wine/wine)
  set(KORLINTH_WINESERVER /usr/lib/wine/wineserver32)
else()
  set(KORLINTH_WINE /usr/lib/wine/wine64)
  set(KORLINTH_WINESERVER /usr/lib/wine/wineserver64)
endif()
execute_process(COMMAND ${KORLINTH_WINE} --version RESULT_VARIABLE wine_status
  OUTPUT_QUIET ERROR_QUIET)
add_test(NAME WindowsPackage.HoldsProgramAndInstructionsOnly
  COMMAND ${PROJECT_SOURCE_DIR}/tests/windows/check-package ${CMAKE_BINARY_DIR} ${KORLINTH_PACKAGE_NAME})
if(NOT wine_status EQUAL 0)
  add_test(NAME Wine.Unavailable COMMAND sh -c
    "echo 'skipped: ${KORLINTH_WINE} does not run here (${wine_status}): a 32-bit build needs a kernel that runs 32-bit x86 programs'; exit 77")
  set_tests_properties(Wine.Unavailable PROPERTIES SKIP_RETURN_CODE 77)
  return()
endif()
set(wine_env WINELOADER=${KORLINTH_WINE} WINESERVER=${KORLINTH_WINESERVER} WINEDEBUG=-all)

# One fresh Wine prefix for the whole run; its first start takes a while.
set(prefix ${CMAKE_BINARY_DIR}/wineprefix)
add_test(NAME Wine.CreatePrefix
  COMMAND ${CMAKE_COMMAND} -E env ${wine_env}
          ${PROJECT_SOURCE_DIR}/tests/windows/wine-prefix create ${prefix})
add_test(NAME Wine.RemovePrefix
  COMMAND ${CMAKE_COMMAND} -E env ${wine_env}
          ${PROJECT_SOURCE_DIR}/tests/windows/wine-prefix remove ${prefix})
set_tests_properties(Wine.CreatePrefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(Wine.RemovePrefix PROPERTIES FIXTURES_CLEANUP wine)

add_test(NAME WindowsProgram.EndToEndUnderWine
  COMMAND ${CMAKE_COMMAND} -E env
          WINEPREFIX=${prefix} ${wine_env}
          KORLINTH_TEST_LAUNCHER=${KORLINTH_WINE}
          KORLINTH_TEST_PROGRAM=${CMAKE_BINARY_DIR}/sim/korlinth-update.exe
          KORLINTH_TEST_SIM_DIR=${CMAKE_BINARY_DIR}/sim
          KORLINTH_TEST_LINE_END=crlf
          KORLINTH_TEST_PLATFORM=windows
          ${KORLINTH_LINUX_PROGRAM_TESTS})
set_tests_properties(WindowsProgram.EndToEndUnderWine PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 1800)

add_test(NAME WindowsProgram.DoesNotStartWithoutTheDll
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${prefix} ${wine_env}
          ${PROJECT_SOURCE_DIR}/tests/windows/check-missing-dll $<TARGET_FILE:korlinth-update>)
set_tests_properties(WindowsProgram.DoesNotStartWithoutTheDll PROPERTIES FIXTURES_REQUIRED wine)
