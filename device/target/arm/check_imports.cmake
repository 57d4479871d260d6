# Fails when the core archive ARCHIVE needs a symbol from outside itself
# other than memcpy, memset and the compiler's integer helpers (Thumb-1
# switch tables, division, 64-bit shifts and multiplication), all of which
# every bare-metal toolchain brings. Anything else — another C library
# function, or a software floating-point routine — would be a dependency
# the firmware may not have.
#
# usage: cmake -DNM=arm-none-eabi-nm -DARCHIVE=libx.a -P check_imports.cmake
cmake_minimum_required(VERSION 3.22)
execute_process(COMMAND ${NM} --defined-only ${ARCHIVE} OUTPUT_VARIABLE defined_text
                RESULT_VARIABLE defined_result)
execute_process(COMMAND ${NM} -u ${ARCHIVE} OUTPUT_VARIABLE undefined_text
                RESULT_VARIABLE undefined_result)
if(NOT defined_result EQUAL 0 OR NOT undefined_result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${ARCHIVE}")
endif()

string(REGEX MATCHALL "[^ \n]+ [A-Za-z] [^\n]+" defined_lines "${defined_text}")
set(defined "")
foreach(line IN LISTS defined_lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND defined "${name}")
endforeach()

string(REGEX MATCHALL "U [^\n]+" undefined_lines "${undefined_text}")
set(refused "")
foreach(line IN LISTS undefined_lines)
  string(REGEX REPLACE "^U " "" name "${line}")
  if(name IN_LIST defined OR name MATCHES
     "^(memcpy|memset|__gnu_thumb1_case_.*|__aeabi_u?idiv(mod)?|__aeabi_u?ldivmod|__aeabi_l(mul|lsl|lsr|asr))$")
    continue()
  endif()
  list(APPEND refused "${name}")
endforeach()
list(REMOVE_DUPLICATES refused)
if(refused)
  message(FATAL_ERROR "${ARCHIVE} needs what a firmware without a C library may not have: ${refused}")
endif()
