# Installation and the Debian package: ravlox in bin/, its manual page in
# share/man/man1, both carrying the project's version.
include(GNUInstallDirs)

configure_file(${PROJECT_SOURCE_DIR}/docs/ravlox.1.in ${PROJECT_BINARY_DIR}/ravlox.1 @ONLY)
install(TARGETS ravlox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/ravlox.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(RAVLOX_CONTACT "ravlox maintainers" CACHE STRING "Maintainer named in the package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ravlox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "ravlox converts the TOKEN files that the KOLVIR acquisition program writes for TEOAE measurements into Level 4 MAT-files for MATLAB, GNU Octave and Python.")
set(CPACK_PACKAGE_CONTACT "${RAVLOX_CONTACT}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
find_program(RAVLOX_SHLIBDEPS dpkg-shlibdeps)
if(RAVLOX_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
