# SPDX-License-Identifier: MIT
# Installation and the Debian package: ravlox in bin/, its manual page,
# gzipped, in share/man/man1, and the copyright and the changelog in
# share/doc/ravlox; the page and the package carry the project's version.
include(GNUInstallDirs)

# The packager's contact, "Name <address>": the package's Maintainer and the
# signature of its changelog entry. The default is only a placeholder, and
# lintian rejects a package that carries it.
set(RAVLOX_CONTACT "ravlox maintainers" CACHE STRING
    "Maintainer named in the Debian package, as Name <address>")

configure_file(${PROJECT_SOURCE_DIR}/docs/ravlox.1.in ${PROJECT_BINARY_DIR}/ravlox.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/docs/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)

# Debian wants the page and the changelog compressed with gzip -9, and -n
# leaves the file name and the time out of the gzip header, so that the
# same sources give the same bytes. -k keeps the uncompressed file, which
# the tests compare with what is installed.
find_program(RAVLOX_GZIP gzip REQUIRED)
set(gzipped)
foreach(f ravlox.1 changelog)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${f}.gz
    COMMAND ${RAVLOX_GZIP} -9nkf ${f}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    DEPENDS ${PROJECT_BINARY_DIR}/${f}
    VERBATIM)
  list(APPEND gzipped ${PROJECT_BINARY_DIR}/${f}.gz)
endforeach()
add_custom_target(ravlox_gzipped ALL DEPENDS ${gzipped})

install(TARGETS ravlox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/ravlox.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ravlox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Each line here is a line of the control file's description: Debian wants
# them under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "ravlox converts the TOKEN files that the KOLVIR acquisition program
writes for transient-evoked otoacoustic emission (TEOAE) measurements
into Level 4 MAT-files, which MATLAB, GNU Octave and Python's scipy
read directly.")
set(CPACK_PACKAGE_CONTACT "${RAVLOX_CONTACT}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debperms.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
find_program(RAVLOX_SHLIBDEPS dpkg-shlibdeps)
if(RAVLOX_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
