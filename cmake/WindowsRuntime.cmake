# What a Windows program built with MinGW-w64 and Qt needs beside it: the
# compiler's runtime DLLs and Qt's DLLs and plugins. Installed with the
# program (the setup program packs the installed tree); FW_WINDOWS_DLL_DIRS
# lists their folders for running programs from the build tree under Wine.
set(FW_WINDOWS_RUNTIME_DLLS "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "The compiler has no ${dll}")
    endif()
    list(APPEND FW_WINDOWS_RUNTIME_DLLS ${path})
endforeach()
get_filename_component(FW_QT_PREFIX "${Qt6_DIR}/../../.." ABSOLUTE)
set(FW_WINDOWS_DLL_DIRS ${FW_QT_PREFIX}/bin)
foreach(dll IN LISTS FW_WINDOWS_RUNTIME_DLLS)
    get_filename_component(dir ${dll} DIRECTORY)
    list(APPEND FW_WINDOWS_DLL_DIRS ${dir})
endforeach()
list(REMOVE_DUPLICATES FW_WINDOWS_DLL_DIRS)

install(FILES ${FW_WINDOWS_RUNTIME_DLLS} DESTINATION .)
foreach(module Core Gui Widgets Network)
    install(FILES ${FW_QT_PREFIX}/bin/Qt6${module}.dll DESTINATION .)
endforeach()
install(FILES ${FW_QT_PREFIX}/plugins/platforms/qwindows.dll DESTINATION platforms)
install(FILES ${FW_QT_PREFIX}/plugins/styles/qwindowsvistastyle.dll DESTINATION styles)

# The setup program (NSIS): `cmake --build <dir> --target setup` installs into
# <dir>/stage (the wizard, flashwright-cli.exe beside it, their DLLs) and packs
# that into <dir>/flashwright-<version>-setup.exe.
find_program(FW_MAKENSIS makensis)
if(FW_MAKENSIS)
    set(FW_SETUP ${PROJECT_BINARY_DIR}/flashwright-${PROJECT_VERSION}-setup.exe)
    add_custom_command(
        OUTPUT ${FW_SETUP}
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${PROJECT_BINARY_DIR}/stage
        COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${PROJECT_BINARY_DIR}/stage
        COMMAND ${FW_MAKENSIS} -V2 -DSTAGE=${PROJECT_BINARY_DIR}/stage -DVERSION=${PROJECT_VERSION}
                -DOUTFILE=${FW_SETUP} ${PROJECT_SOURCE_DIR}/data/windows/flashwright.nsi
        DEPENDS flashwright flashwright-cli ${PROJECT_SOURCE_DIR}/data/windows/flashwright.nsi
        VERBATIM)
    add_custom_target(setup DEPENDS ${FW_SETUP})
endif()
