# The whole program for 64-bit Windows: MinGW-w64 with the Qt that
# scripts/qt-mingw builds. Qt's own toolchain file of that prefix sets up the
# compilers (the plain MinGW toolchain file with CMAKE_PREFIX_PATH would not
# find Qt6Config: the find root re-roots the prefix); test programs run under
# Wine.
#
#   cmake -S . -B build-winqt -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-qt.cmake \
#         -DFW_QT_MINGW_PREFIX="$(scripts/qt-mingw)" -DFW_GTEST_SOURCE_DIR=/usr/src/googletest
if(NOT FW_QT_MINGW_PREFIX AND DEFINED ENV{FW_QT_MINGW_PREFIX})
    set(FW_QT_MINGW_PREFIX $ENV{FW_QT_MINGW_PREFIX})
endif()
if(NOT EXISTS "${FW_QT_MINGW_PREFIX}/lib/cmake/Qt6/qt.toolchain.cmake")
    message(FATAL_ERROR "FW_QT_MINGW_PREFIX names no Qt for MinGW (run scripts/qt-mingw)")
endif()
# try_compile projects read this file again and need the prefix too.
set(ENV{FW_QT_MINGW_PREFIX} ${FW_QT_MINGW_PREFIX})
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "The host Qt whose tools the cross build runs")
endif()
include(${FW_QT_MINGW_PREFIX}/lib/cmake/Qt6/qt.toolchain.cmake)

set(FW_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${FW_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine)
