# The third-party libraries of the Windows build, built as static libraries
# for the target with the same toolchain, while this project is configured:
#   Jansson and libdeflate from Debian's source packages (fetched by
#   tools/windows/debian-source.sh), GoogleTest from the sources that Debian's
#   googletest package installs under /usr/src/googletest.
# Each is built once per build folder and installed under
# ${HIDDFU_WINDOWS_DEPS_DIR}/install; a stamp file there makes later
# configure runs reuse it. Deleting that folder rebuilds them.
#
# Defines the imported targets PkgConfig::JANSSON and PkgConfig::LIBDEFLATE,
# the names that pkg-config gives the same libraries in the native build, so
# that the rest of the build does not depend on where they came from; and
# points find_package(GTest) at the cross-built GoogleTest.

set(HIDDFU_WINDOWS_DEPS_DIR "${CMAKE_BINARY_DIR}/windows-deps" CACHE PATH
    "Where the Windows build downloads, builds and installs its third-party libraries")
set(HIDDFU_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources (Debian package googletest)")

set(_deps_prefix "${HIDDFU_WINDOWS_DEPS_DIR}/install")
set(_deps_logs "${HIDDFU_WINDOWS_DEPS_DIR}/logs")
file(MAKE_DIRECTORY "${_deps_prefix}/include" "${_deps_prefix}/lib" "${_deps_logs}")

# Runs a command with its output in a log file; stops the configure run with
# the end of that log when the command fails.
function(_hiddfu_deps_run step)
  set(log "${_deps_logs}/${step}.log")
  execute_process(COMMAND ${ARGN}
    OUTPUT_FILE "${log}" ERROR_FILE "${log}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(READ "${log}" text)
    string(LENGTH "${text}" length)
    if(length GREATER 4000)
      math(EXPR start "${length} - 4000")
      string(SUBSTRING "${text}" ${start} -1 text)
    endif()
    message(FATAL_ERROR "Windows dependencies: ${step} failed (${result}); end of ${log}:\n${text}")
  endif()
endfunction()

# Downloads and unpacks a Debian source package; sets `out_var` to its tree.
function(_hiddfu_debian_source package out_var)
  set(log "${_deps_logs}/${package}-source.log")
  execute_process(
    COMMAND sh "${PROJECT_SOURCE_DIR}/tools/windows/debian-source.sh"
            ${package} "${HIDDFU_WINDOWS_DEPS_DIR}/src"
    OUTPUT_VARIABLE output ERROR_FILE "${log}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(READ "${log}" text)
    message(FATAL_ERROR "Windows dependencies: cannot get Debian's source of ${package}:\n${text}")
  endif()
  string(STRIP "${output}" output)
  string(REGEX REPLACE ".*\n" "" tree "${output}")
  set(${out_var} "${tree}" PARENT_SCOPE)
endfunction()

# Configures, builds and installs a CMake project for the target.
function(_hiddfu_cmake_dependency name source_dir)
  set(build_dir "${HIDDFU_WINDOWS_DEPS_DIR}/build/${name}")
  _hiddfu_deps_run(${name}-configure
    ${CMAKE_COMMAND} -S "${source_dir}" -B "${build_dir}"
      -G "${CMAKE_GENERATOR}"
      "-DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}"
      "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}"
      -DCMAKE_BUILD_TYPE=Release
      "-DCMAKE_INSTALL_PREFIX=${_deps_prefix}"
      ${ARGN})
  _hiddfu_deps_run(${name}-build
    ${CMAKE_COMMAND} --build "${build_dir}" --target install --parallel 2)
endfunction()

function(_hiddfu_build_jansson)
  _hiddfu_debian_source(jansson source_dir)
  _hiddfu_cmake_dependency(jansson "${source_dir}"
    -DJANSSON_BUILD_SHARED_LIBS=OFF
    -DJANSSON_WITHOUT_TESTS=ON
    -DJANSSON_EXAMPLES=OFF
    -DJANSSON_BUILD_DOCS=OFF)
endfunction()

# libdeflate's own Makefile names the MinGW static library
# libdeflatestatic.lib; it is installed as libdeflate.a.
function(_hiddfu_build_libdeflate)
  _hiddfu_debian_source(libdeflate source_dir)
  find_program(HIDDFU_GNU_MAKE NAMES gmake make REQUIRED)
  _hiddfu_deps_run(libdeflate-build
    ${HIDDFU_GNU_MAKE} -C "${source_dir}" -j2 libdeflatestatic.lib
      "CC=${CMAKE_C_COMPILER}" "AR=${CMAKE_AR}")
  file(COPY_FILE "${source_dir}/libdeflatestatic.lib" "${_deps_prefix}/lib/libdeflate.a")
  file(COPY_FILE "${source_dir}/libdeflate.h" "${_deps_prefix}/include/libdeflate.h")
endfunction()

function(_hiddfu_build_googletest)
  if(NOT EXISTS "${HIDDFU_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "Windows dependencies: no GoogleTest sources in "
      "${HIDDFU_GOOGLETEST_SOURCE_DIR} (install Debian's googletest package)")
  endif()
  _hiddfu_cmake_dependency(googletest "${HIDDFU_GOOGLETEST_SOURCE_DIR}"
    -DBUILD_GMOCK=OFF
    -DINSTALL_GTEST=ON)
endfunction()

# Builds `name` unless its stamp says it was installed by this same recipe:
# the stamp holds a checksum of this file, so a changed recipe rebuilds.
file(SHA256 "${CMAKE_CURRENT_LIST_FILE}" _deps_recipe)
macro(_hiddfu_dependency name)
  set(_stamp "${_deps_prefix}/.${name}.installed")
  set(_installed_by "")
  if(EXISTS "${_stamp}")
    file(READ "${_stamp}" _installed_by)
  endif()
  if(NOT _installed_by STREQUAL _deps_recipe)
    message(STATUS "Windows dependencies: building ${name} (once per build folder)")
    cmake_language(CALL _hiddfu_build_${name})
    file(WRITE "${_stamp}" "${_deps_recipe}")
  endif()
endmacro()

_hiddfu_dependency(jansson)
_hiddfu_dependency(libdeflate)
if(HIDDFU_BUILD_TESTS)
  _hiddfu_dependency(googletest)
endif()

# The installed packages are outside CMAKE_FIND_ROOT_PATH; name their
# configuration folders directly.
# (Jansson puts its configuration in <prefix>/cmake when built for Windows.)
set(jansson_DIR "${_deps_prefix}/cmake" CACHE PATH "" FORCE)
set(GTest_DIR "${_deps_prefix}/lib/cmake/GTest" CACHE PATH "" FORCE)
find_package(jansson CONFIG REQUIRED)

add_library(PkgConfig::JANSSON INTERFACE IMPORTED)
target_link_libraries(PkgConfig::JANSSON INTERFACE jansson::jansson)

add_library(PkgConfig::LIBDEFLATE STATIC IMPORTED)
set_target_properties(PkgConfig::LIBDEFLATE PROPERTIES
  IMPORTED_LOCATION "${_deps_prefix}/lib/libdeflate.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_deps_prefix}/include")

unset(_deps_prefix)
unset(_deps_logs)
unset(_deps_recipe)
