# Cross-builds 64-bit Windows programs with Debian's MinGW-w64 compilers and
# runs them under wine (tests, and anything else CMake runs on the target).
#
# The "-posix" compilers are named explicitly: the default
# x86_64-w64-mingw32-g++ alternative uses the win32 thread model, whose
# libstdc++ has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HIDDFU_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HIDDFU_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HIDDFU_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HIDDFU_MINGW_TRIPLET}-windres)

# Headers and libraries come from the MinGW-w64 tree (and from the folders
# that the build itself adds); programs that run during the build are the
# host's.
set(CMAKE_FIND_ROOT_PATH /usr/${HIDDFU_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine with a wine prefix of the build's own, inside
# the build folder, so that builds never share or touch ~/.wine.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  get_filename_component(_hiddfu_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${_hiddfu_source_root}/tools/windows/wine-run.sh;--prefix=${CMAKE_BINARY_DIR}/wineprefix")
  unset(_hiddfu_source_root)
endif()
