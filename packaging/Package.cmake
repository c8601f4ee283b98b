# The Debian package (cpack -G DEB in the build folder; scripts/package.sh does it all).
# CPack has no debhelper: the maintainer scripts beside this file do its work by hand.
set(PB_PACKAGE_VERSION ${PROJECT_VERSION})

configure_file(changelog ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog COPYONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz DESTINATION ${PB_DOC_DIR} PERMISSIONS ${PB_DATA_MODE})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pellbluetooth)
set(CPACK_PACKAGE_VERSION ${PB_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "pellbluetooth developers <pellbluetooth@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CUPS driver for Bluetooth LE label and receipt printers")
# The long text under the summary; CPack indents each line by one space.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Prints from CUPS to thermal label and receipt printers over Bluetooth LE.
The package holds two CUPS raster filters, the pellbluetooth backend with a
PPD for each model family, and the quorvel agent, run as a systemd service,
which finds the printers and hands them their jobs.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "cups, bluez")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/postinst ${CMAKE_CURRENT_SOURCE_DIR}/prerm ${CMAKE_CURRENT_SOURCE_DIR}/postrm
  ${CMAKE_CURRENT_SOURCE_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The backend's 0700 and the logrotate file are meant; let CPack keep the install's modes.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
include(CPack)
