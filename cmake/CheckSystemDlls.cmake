# Fails unless a Windows program imports only DLLs that Windows itself
# provides, so that the program runs when copied alone onto a machine.
# A DLL of the MinGW runtime (libstdc++-6.dll, libgcc_s_seh-1.dll,
# libwinpthread-1.dll) or of a third-party library in the list means that
# something was linked dynamically.
#
# usage: cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DPROGRAM=hiddfu.exe
#              [-DEXTRA_DLLS=a.dll;b.dll] -P CheckSystemDlls.cmake

cmake_minimum_required(VERSION 3.22)

# Windows' own DLLs that a console program of this kind may use.
set(system_dlls
  advapi32.dll bcrypt.dll cfgmgr32.dll comctl32.dll gdi32.dll hid.dll kernel32.dll
  msvcrt.dll ntdll.dll ole32.dll oleaut32.dll setupapi.dll shell32.dll shlwapi.dll
  ucrtbase.dll user32.dll version.dll winusb.dll ws2_32.dll)

if(NOT OBJDUMP OR NOT PROGRAM)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=... -DPROGRAM=... -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM}
  OUTPUT_VARIABLE headers ERROR_VARIABLE error RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed: ${error}")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${headers}")
if(NOT lines)
  message(FATAL_ERROR "${PROGRAM}: no imported DLLs found: not a Windows program?")
endif()

string(TOLOWER "${system_dlls};${EXTRA_DLLS}" allowed)
set(foreign)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" key)
  list(APPEND imported ${dll})
  if(NOT key IN_LIST allowed AND NOT key MATCHES "^api-ms-win-")
    list(APPEND foreign ${dll})
  endif()
endforeach()

list(JOIN imported ", " imported_text)
if(foreign)
  list(JOIN foreign ", " foreign_text)
  message(FATAL_ERROR "${PROGRAM} needs DLLs that Windows does not provide: ${foreign_text}")
endif()
message(STATUS "${PROGRAM} imports only system DLLs: ${imported_text}")
