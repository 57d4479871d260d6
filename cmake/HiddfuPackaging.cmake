# Packages made by cpack from an installation of this build
# (cmake/HiddfuInstall.cmake):
#   Linux:   hiddfu_<version>_amd64.deb, for a build configured with the
#            prefix /usr (preset "deb": cmake --preset deb && cmake --build
#            --preset deb && cpack --preset deb)
#            other prefixes: a tar.gz of the installation
#   Windows: hiddfu-<version>-win64.zip (preset "windows", cpack --preset windows)

set(CPACK_PACKAGE_NAME hiddfu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the hiddfu developers")
# Debian packages need a maintainer with an address; set it when building.
set(HIDDFU_PACKAGE_MAINTAINER "hiddfu developers <hiddfu@example.org>" CACHE STRING
    "Maintainer (name <address>) written into the packages")
set(CPACK_PACKAGE_CONTACT "${HIDDFU_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for USB HID devices")
set(CPACK_PACKAGE_DESCRIPTION
"hiddfu lists USB HID devices that accept firmware upgrades, updates their
firmware from DFU files (DFU 1.1 carried in HID feature reports), sends
control requests to them and describes DFU files. It prints one-line JSON
documents for the programs that drive it.
.
The package also carries the upgrade library libhiddfu with its C headers,
pkg-config file and CMake package, mkdfu to make DFU files, hiddfu-sim to
simulate a device through uhid, and a udev rule that gives the user at the
seat access to the devices.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME hiddfu-${PROJECT_VERSION}-win64)
  # hiddfu-<version>-win64/ at the top of the archive.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  # A Debian package has to install under /usr (and the library into the
  # multiarch folder, which GNUInstallDirs picks only for /usr); other
  # builds make a plain archive of the installation.
  set(CPACK_GENERATOR TGZ)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies from a scan of the binaries (dpkg-shlibdeps), and a shlibs
  # file for programs that link libhiddfu.so.1.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Our own maintainer scripts: the udev rule applied to the devices plugged
  # in already; libhiddfu.so.1 made known to the loader through dpkg's
  # ldconfig trigger (cpack's default scripts would call ldconfig directly).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
  # The Debian copyright file and changelog, which the policy wants in
  # /usr/share/doc/hiddfu.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
    ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
