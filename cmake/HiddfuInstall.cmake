# What `cmake --install` puts where (GNUInstallDirs), and what the packages
# (cmake/HiddfuPackaging.cmake) carry:
#   bin/                      hiddfu, mkdfu, hiddfu-sim (Linux); HidDfu.dll (Windows)
#   <libdir>/                 libhiddfu.so.1 (SONAME) and libhiddfu.so;
#                             libHidDfu.dll.a (Windows)
#   <libdir>/pkgconfig/       hiddfu.pc
#   <libdir>/cmake/hiddfu/    the CMake package: find_package(hiddfu) -> hiddfu::hiddfu
#   include/hiddfu/           HidDfu.h, HidDfuTypes.h, HidDfuResults.h
#   lib/udev/rules.d/         70-hiddfu.rules (Linux)
#   share/man/man1/           hiddfu.1.gz, mkdfu.1.gz, hiddfu-sim.1.gz (Linux, with scdoc)
#   share/bash-completion/completions/hiddfu   (Linux)
#   share/doc/hiddfu/         README, protocol, licence (the Debian copyright file
#                             under /usr), third-party notices, udev examples
# On Windows the licence, the notices and the README for Windows go to the
# top of the installation instead of share/doc.

include(CMakePackageConfigHelpers)

set(HIDDFU_INCLUDE_SUBDIR hiddfu)
set(HIDDFU_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hiddfu)

# hiddfu finds libhiddfu through a run path relative to itself, so that an
# installation under any prefix runs without LD_LIBRARY_PATH or ldconfig.
# A library folder the loader searches anyway (/usr/lib/<multiarch>, as the
# Debian package installs it) needs none.
if(NOT WIN32)
  list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" libdir_is_system)
  if(libdir_is_system EQUAL -1)
    file(RELATIVE_PATH bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
    set_target_properties(hiddfu PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  endif()
endif()

# ---- programs and the library
set(installed_programs hiddfu mkdfu)
if(TARGET hiddfu-sim)
  list(APPEND installed_programs hiddfu-sim)
endif()
install(TARGETS ${installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Consumers see the headers under <prefix>/include and write
# #include <hiddfu/HidDfu.h>; the build tree uses the source folder.
set_target_properties(hiddfu_upgrade PROPERTIES EXPORT_NAME hiddfu)
target_include_directories(hiddfu_upgrade INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS hiddfu_upgrade EXPORT hiddfuTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
set(library_headers_dir ${PROJECT_SOURCE_DIR}/app/hiddfu/HidDfuDllLib/common)
install(FILES
    ${library_headers_dir}/HidDfu.h
    ${library_headers_dir}/HidDfuTypes.h
    ${library_headers_dir}/HidDfuResults.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${HIDDFU_INCLUDE_SUBDIR})

# ---- CMake package
install(EXPORT hiddfuTargets NAMESPACE hiddfu:: FILE hiddfuTargets.cmake
  DESTINATION ${HIDDFU_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/hiddfuConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/hiddfuConfig.cmake
  INSTALL_DESTINATION ${HIDDFU_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/hiddfuConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/packaging/hiddfuConfig.cmake
    ${PROJECT_BINARY_DIR}/packaging/hiddfuConfigVersion.cmake
  DESTINATION ${HIDDFU_CMAKE_PACKAGE_DIR})

# ---- pkg-config. Under /usr the paths are written out, as the system's own
# .pc files are; elsewhere they are relative to the .pc file, so that
# `cmake --install --prefix` to any folder gives a working file.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(HIDDFU_PC_PREFIX "/usr")
else()
  file(RELATIVE_PATH pc_to_prefix "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(HIDDFU_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/hiddfu.pc.in
  ${PROJECT_BINARY_DIR}/packaging/hiddfu.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/hiddfu.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---- documents
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES
      ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt
      ${PROJECT_SOURCE_DIR}/packaging/windows/README-Windows.txt
    DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/protocol.md DESTINATION doc)
else()
  install(FILES
      ${PROJECT_SOURCE_DIR}/README.md
      ${PROJECT_SOURCE_DIR}/docs/protocol.md
      ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Under /usr the Debian copyright file carries the licence instead
  # (cmake/HiddfuPackaging.cmake).
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endif()

# ---- Linux: udev rule, manual pages, bash completion
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d; from
  # other prefixes the rule has to be copied to /etc/udev/rules.d.
  set(HIDDFU_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING
      "Where the udev rule is installed, relative to the prefix or absolute")
  install(FILES ${PROJECT_SOURCE_DIR}/udev/70-hiddfu.rules DESTINATION ${HIDDFU_UDEV_RULES_DIR})
  install(FILES
      ${PROJECT_SOURCE_DIR}/udev/60-hiddfu-vendor.rules.example
      ${PROJECT_SOURCE_DIR}/udev/71-hiddfu-group.rules.example
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/hiddfu.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME hiddfu)
  add_subdirectory(${PROJECT_SOURCE_DIR}/man ${PROJECT_BINARY_DIR}/man)
endif()
