# The Debian package: both programs, the simulator, the desktop entry, the icon,
# the AppStream metainfo, the manual pages, the bash completion, the copyright
# file and the changelog, with the shared libraries' packages found by
# dpkg-shlibdeps and the programs stripped. `cpack -G DEB` in the build folder
# makes flashwright_<version>_amd64.deb; scripts/check-package builds and checks
# it (lintian among others).
install(FILES ${PROJECT_SOURCE_DIR}/data/flashwright.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME com.tarnvel.flashwright.metainfo.xml)

# Manual pages from their scdoc sources in data/man, gzipped without name or
# time stamp (gzip -9n) as Debian wants them, built with the programs.
find_program(FW_SCDOC scdoc)
if(FW_SCDOC)
    set(fw_man_pages)
    foreach(page flashwright flashwright-cli analyser-sim)
        set(source ${PROJECT_SOURCE_DIR}/data/man/${page}.1.scd)
        set(page_file ${PROJECT_BINARY_DIR}/man/${page}.1)
        add_custom_command(
            OUTPUT ${page_file}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
            COMMAND sh -c "\"$0\" <\"$1\" >\"$2\"" ${FW_SCDOC} ${source} ${page_file}
            COMMAND gzip -9nf ${page_file}
            DEPENDS ${source}
            COMMENT "Manual page ${page}(1)"
            VERBATIM)
        list(APPEND fw_man_pages ${page_file}.gz)
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${fw_man_pages})
    install(FILES ${fw_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(WARNING "scdoc not found: the manual pages are not built (scripts/deps installs it)")
endif()

# The changelog and the machine-readable copyright file in the package's doc
# folder; the bash completion where bash-completion loads it on demand.
set(fw_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(
    OUTPUT ${fw_changelog}
    COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/data/changelog ${fw_changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/data/changelog
    VERBATIM)
add_custom_target(changelog ALL DEPENDS ${fw_changelog})
install(FILES ${fw_changelog} ${PROJECT_SOURCE_DIR}/data/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/flashwright)
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/flashwright-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME flashwright-cli)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashwright)
set(CPACK_PACKAGE_VENDOR Tarnvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware loader for analysers (wizard and command line)")
# The extended description in lines within 80 columns, after the summary
# (cpack puts that first and indents each line).
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "Flashwright loads Motorola S-record firmware into an analyser's bootloader\n"
       "over a serial port or a USB-to-serial converter. The package holds the\n"
       "wizard (flashwright), its command-line twin (flashwright-cli) and a\n"
       "simulated analyser on a pseudo-terminal (analyser-sim).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarnvel Flashwright developers <flashwright@tarnvel.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # flashwright_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON) # no debug information in the package
include(CPack)
