# Installation and packaging: the tool, its manual page and bash completion,
# the plug-in, the platform library, and the headers with a CMake package and
# a pkg-config file, so that another C++ host can build against them; CPack
# makes a Debian package of it all.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELMORA_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/velmora)
set(VELMORA_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/velmora)

# Installed programs find their libraries beside them, wherever the tree is
# unpacked (a staging folder, dpkg -x) as well as under /usr.
set_target_properties(compdoc PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
set_target_properties(Velmora PROPERTIES INSTALL_RPATH "$ORIGIN/..")
target_compile_definitions(compdoc PRIVATE
  VELMORA_PLUGIN_FROM_BINDIR="../${VELMORA_PLUGIN_INSTALL_DIR}/Velmora.so")

install(TARGETS compdoc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(TARGETS Velmora LIBRARY DESTINATION ${VELMORA_PLUGIN_INSTALL_DIR} COMPONENT runtime)
install(TARGETS platform platform_headers host EXPORT VelmoraTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT runtime)
install(DIRECTORY platform/include/ DESTINATION ${VELMORA_HEADER_DIR}/platform COMPONENT runtime)
install(FILES host/vlt_interfaces.h host/vlt_records.h DESTINATION ${VELMORA_HEADER_DIR}/host
        COMPONENT runtime)
install(FILES module/velmora_lib.h DESTINATION ${VELMORA_HEADER_DIR}/module COMPONENT runtime)

configure_file(tools/compdoc/share/compdoc.1 ${CMAKE_BINARY_DIR}/compdoc.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/compdoc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT runtime)
install(FILES tools/compdoc/share/compdoc.bash DESTINATION
        ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME compdoc COMPONENT runtime)

install(EXPORT VelmoraTargets NAMESPACE Velmora:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora
        COMPONENT runtime)
configure_package_config_file(cmake/VelmoraConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/VelmoraConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora
                              PATH_VARS VELMORA_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VelmoraConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VelmoraConfig.cmake ${CMAKE_BINARY_DIR}/VelmoraConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora COMPONENT runtime)
# The .pc file finds the prefix from where it lies, so the same file serves
# /usr, /usr/local and an unpacked tree.
file(RELATIVE_PATH VELMORA_PC_UP /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VELMORA_PC_UP "${VELMORA_PC_UP}")
configure_file(cmake/velmora.pc.in ${CMAKE_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velmora.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT runtime)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR Fennmark)
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <velmora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "compound-document plug-in for a document-vault host, its platform library and compdoc")
set(CPACK_PACKAGE_DESCRIPTION
    "The Velmora plug-in reads and writes the property sets of compound documents and lists and rewrites their OLE links. The package holds the plug-in, the platform library it runs on, the headers and build files for hosts, and compdoc, the command-line host.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The plug-in and compdoc find the platform library through their RPATH.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/platform)
include(CPack)
