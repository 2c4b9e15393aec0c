# Installation and the Debian package.
#
#   cmake --install build --prefix /usr/local   installer into sbin, mkpkg into
#                                                bin, their manual pages
#   (cd build && cpack -G DEB)                  installer_<version>_<arch>.deb
#
# scripts/package-test builds the package, installs it with dpkg and runs it.

include(GNUInstallDirs)

install(TARGETS installer RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS mkpkg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/doc/man/installer.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/doc/man/mkpkg.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME installer)
set(CPACK_PACKAGE_VENDOR "installer developers")
set(CPACK_PACKAGE_CONTACT "installer developers <installer@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "package manager of the router and its package builder")
set(CPACK_PACKAGE_DESCRIPTION
    "installer installs, upgrades, enables, disables and removes the signed packages of
the router's flash, crash-safely; mkpkg builds, bundles and inspects package files.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

# The libraries the programs link: found by dpkg-shlibdeps where it can look
# at the build machine's own packages, else named here (a cross build).
find_program(INSTALLER_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(INSTALLER_DPKG_SHLIBDEPS AND NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(installer_depends libc6)
  if(NOT INSTALLER_STATIC_LIBS OR INSTALLER_SANITIZE)
    list(APPEND installer_depends libgcc-s1 libstdc++6 zlib1g)
  endif()
  if(INSTALLER_SHARED_CRYPTO OR INSTALLER_SANITIZE)
    list(APPEND installer_depends libnettle8 libhogweed6 libgmp10)
  endif()
  list(JOIN installer_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "s390x")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE s390x)
endif()

set(CPACK_GENERATOR DEB)
include(CPack)
