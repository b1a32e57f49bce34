# Installing on Linux: the shared library with its soname, the header, the
# command and its manual page, a CMake package (find_package(slotsync) gives
# slotsync::slotsync) and a pkg-config file; and the Debian package that
# CPack makes of them (scripts/package.sh deb).

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

target_include_directories(slotsync INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS slotsync EXPORT slotsyncTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime)
install(TARGETS slotsync_cmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/slotsync/slotsync.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/slotsync COMPONENT runtime)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/slotsync)
install(EXPORT slotsyncTargets NAMESPACE slotsync:: DESTINATION ${config_dir} COMPONENT runtime)
file(WRITE ${PROJECT_BINARY_DIR}/slotsyncConfig.cmake.in [[
@PACKAGE_INIT@
include("${CMAKE_CURRENT_LIST_DIR}/slotsyncTargets.cmake")
check_required_components(slotsync)
]])
configure_package_config_file(${PROJECT_BINARY_DIR}/slotsyncConfig.cmake.in
  ${PROJECT_BINARY_DIR}/slotsyncConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/slotsyncConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/slotsyncConfig.cmake
  ${PROJECT_BINARY_DIR}/slotsyncConfigVersion.cmake DESTINATION ${config_dir} COMPONENT runtime)

# The pkg-config file finds its prefix from where it lies, so the files can
# be installed under any prefix (cmake --install --prefix).
file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
file(WRITE ${PROJECT_BINARY_DIR}/slotsync.pc
  "prefix=\${pcfiledir}/${pc_to_prefix}\n"
  "libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}\n"
  "includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\n\n"
  "Name: slotsync\n"
  "Description: Keeps the size-slot columns of an order, stock and invoicing database in step\n"
  "Version: ${PROJECT_VERSION}\n"
  "Cflags: -I\${includedir}\n"
  "Libs: -L\${libdir} -lslotsync\n")
install(FILES ${PROJECT_BINARY_DIR}/slotsync.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT runtime)

# The manual page (doc/slotsync.1.in), the README and the schema of the
# JSON the command and the audit log write; compressed, as Debian keeps
# manual pages and documentation.
# The Chinese manual page goes where man -L zh_CN looks for it.
configure_file(${PROJECT_SOURCE_DIR}/doc/slotsync.1.in ${PROJECT_BINARY_DIR}/slotsync.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/doc/slotsync.zh_CN.1.in ${PROJECT_BINARY_DIR}/zh_CN/slotsync.1
  @ONLY)
find_program(SLOTSYNC_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/slotsync.1.gz ${PROJECT_BINARY_DIR}/README.md.gz
    ${PROJECT_BINARY_DIR}/zh_CN/slotsync.1.gz ${PROJECT_BINARY_DIR}/README.zh_CN.md.gz
  COMMAND ${SLOTSYNC_GZIP} -9nc ${PROJECT_BINARY_DIR}/slotsync.1 > ${PROJECT_BINARY_DIR}/slotsync.1.gz
  COMMAND ${SLOTSYNC_GZIP} -9nc ${PROJECT_BINARY_DIR}/zh_CN/slotsync.1
    > ${PROJECT_BINARY_DIR}/zh_CN/slotsync.1.gz
  COMMAND ${SLOTSYNC_GZIP} -9nc ${PROJECT_SOURCE_DIR}/README.md > ${PROJECT_BINARY_DIR}/README.md.gz
  COMMAND ${SLOTSYNC_GZIP} -9nc ${PROJECT_SOURCE_DIR}/README.zh_CN.md
    > ${PROJECT_BINARY_DIR}/README.zh_CN.md.gz
  DEPENDS ${PROJECT_BINARY_DIR}/slotsync.1 ${PROJECT_BINARY_DIR}/zh_CN/slotsync.1
    ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/README.zh_CN.md)
add_custom_target(slotsync_man ALL
  DEPENDS ${PROJECT_BINARY_DIR}/slotsync.1.gz ${PROJECT_BINARY_DIR}/README.md.gz
    ${PROJECT_BINARY_DIR}/zh_CN/slotsync.1.gz ${PROJECT_BINARY_DIR}/README.zh_CN.md.gz)
install(FILES ${PROJECT_BINARY_DIR}/slotsync.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/zh_CN/slotsync.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/zh_CN/man1 COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/README.md.gz ${PROJECT_BINARY_DIR}/README.zh_CN.md.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/share/slotsync/run.schema.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/slotsync COMPONENT runtime)

set(CPACK_PACKAGE_NAME slotsync)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "slotsync developers <dev@slotsync.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "keeps the size-slot columns of a stock database in step with its size groups")
set(CPACK_PACKAGE_DESCRIPTION "slotsync rebuilds the size-slot columns x_1..x_N of an \
order,\nstock and invoicing database on Microsoft SQL Server when the largest\nnumber of \
sizes in any size group changes, inside one transaction.\nIt ships a command and a C library.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
# The driver manager, and the C and C++ runtimes dpkg-shlibdeps finds; the
# FreeTDS driver reaches SQL Server where Microsoft's driver is not installed.
set(CPACK_DEBIAN_PACKAGE_DEPENDS unixodbc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS tdsodbc)
# The shlibs file for packages built against the library, and the ldconfig
# trigger a shared library in the system's folders needs.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# What Debian asks of every package: a changelog and a copyright file, the
# latter stating the licence as LICENSE states it.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/debian/changelog
  "slotsync (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n"
  " -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}\n")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: slotsync\n\n"
  "Files: *\n"
  "Copyright: 2026 the slotsync developers\n"
  "License: all-rights-reserved\n\n"
  "License: all-rights-reserved\n"
  " All rights reserved. No licence has been granted for this software yet:\n"
  " its developers have not chosen the terms under which it may be copied,\n"
  " changed or passed on. Until they do, ask them (dev@slotsync.invalid)\n"
  " before doing any of these. The same text is the file LICENSE of the\n"
  " source and of the Windows archive.\n")
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog)
# One package holds the library, its header and the command, so that an
# administrator installs one file; Debian's policy would split it into
# libslotsync0, libslotsync-dev and the command. Until it is split, lintian
# is told so rather than left to warn on every build.
file(WRITE ${PROJECT_BINARY_DIR}/debian/lintian-overrides
  "# One package for the library, its header and the command: no libslotsync0.\n"
  "slotsync: package-name-doesnt-match-sonames libslotsync0\n"
  "# The development link libslotsync.so beside the library, for the same reason.\n"
  "slotsync: link-to-shared-library-in-wrong-package *\n")
install(FILES ${PROJECT_BINARY_DIR}/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME slotsync COMPONENT runtime)
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz ${PROJECT_BINARY_DIR}/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
include(CPack)
