# Tests of the Windows build, run under wine through
# CMAKE_CROSSCOMPILING_EMULATOR (tools/windows/wine-run.sh).
#
# Each GoogleTest program is one CTest test: listing and running its tests one
# by one would start wine once per test. Its own output names any failing
# test. All of them need the fixture "wine", whose set-up boots the build's
# wine prefix with the standard streams on /dev/null (see wine-run.sh for
# why) and whose clean-up stops the prefix's wineserver.

set(HIDDFU_WINE_TEST_TIMEOUT 600 CACHE STRING
    "Seconds a Windows test program may run under wine")

list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 _hiddfu_emulator)
if(_hiddfu_emulator MATCHES "wine-run\\.sh$" AND NOT TEST wine_start)
  add_test(NAME wine_start COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --start)
  add_test(NAME wine_stop COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --stop)
  # A first boot of a prefix takes a few seconds, a later one well under one.
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()
unset(_hiddfu_emulator)

# Adds the GoogleTest program `target` as one test, run by the emulator.
function(hiddfu_add_wine_test target)
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
  set_tests_properties(${target} PROPERTIES
    FIXTURES_REQUIRED wine
    TIMEOUT ${HIDDFU_WINE_TEST_TIMEOUT})
endfunction()

# With a native build of the same sources at hand (CI builds one first), a
# test compares the two: mkdfu.exe's sample files and hiddfu.exe's output,
# usage text and exit status against mkdfu's and hiddfu's
# (tools/windows/compare-with-native.sh).
set(HIDDFU_NATIVE_BUILD_DIR "" CACHE PATH
    "A native build of this source tree, e.g. build/default, to compare the Windows build with")
if(HIDDFU_NATIVE_BUILD_DIR AND TARGET mkdfu AND NOT TEST windows_matches_native)
  add_test(NAME windows_matches_native
    COMMAND sh ${PROJECT_SOURCE_DIR}/tools/windows/compare-with-native.sh
            ${HIDDFU_NATIVE_BUILD_DIR}/app/hiddfu/hiddfu
            ${HIDDFU_NATIVE_BUILD_DIR}/tools/mkdfu/mkdfu
            $<TARGET_FILE:hiddfu> $<TARGET_FILE:mkdfu>
            ${CMAKE_BINARY_DIR}/compare-with-native
            ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(windows_matches_native PROPERTIES
    FIXTURES_REQUIRED wine
    TIMEOUT ${HIDDFU_WINE_TEST_TIMEOUT})
endif()

# The shipped programs must run when copied onto a Windows machine with
# nothing but the upgrade library beside them: they may import no DLL but
# Windows' own and HidDfu.dll (cmake/CheckSystemDlls.cmake), and HidDfu.dll
# itself only Windows' own.
foreach(_hiddfu_program hiddfu mkdfu hiddfu_upgrade)
  if(TARGET ${_hiddfu_program} AND NOT TEST ${_hiddfu_program}_imports_only_system_dlls)
    set(_hiddfu_shipped_dlls "")
    if(_hiddfu_program STREQUAL "hiddfu" AND TARGET hiddfu_upgrade)
      set(_hiddfu_shipped_dlls "$<TARGET_FILE_NAME:hiddfu_upgrade>")
    endif()
    add_test(NAME ${_hiddfu_program}_imports_only_system_dlls
      COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP}
              -DPROGRAM=$<TARGET_FILE:${_hiddfu_program}>
              "-DEXTRA_DLLS=${_hiddfu_shipped_dlls}"
              -P ${PROJECT_SOURCE_DIR}/cmake/CheckSystemDlls.cmake)
  endif()
endforeach()
unset(_hiddfu_program)
unset(_hiddfu_shipped_dlls)
