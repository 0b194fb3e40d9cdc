# The Debian package: both programs, the simulator, the desktop entry, the icon
# and the AppStream metainfo, with the shared libraries' packages found by
# dpkg-shlibdeps. `cpack -G DEB` in the build folder makes
# flashwright_<version>_amd64.deb; scripts/check-package builds and checks it.
install(FILES ${PROJECT_SOURCE_DIR}/data/flashwright.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME com.tarnvel.flashwright.metainfo.xml)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashwright)
set(CPACK_PACKAGE_VENDOR Tarnvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for analysers (wizard and command line)")
set(CPACK_PACKAGE_DESCRIPTION
    "Flashwright loads Motorola S-record firmware into an analyser's bootloader over a serial port or a USB-to-serial converter. The package holds the wizard (flashwright), its command-line twin (flashwright-cli) and a simulated analyser on a pseudo-terminal (analyser-sim).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarnvel Flashwright developers <flashwright@tarnvel.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # flashwright_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
