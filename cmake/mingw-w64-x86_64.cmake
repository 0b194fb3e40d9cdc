# Cross-build for 64-bit Windows with MinGW-w64 (Debian: mingw-w64), the
# "-posix" variant whose C++ runtime has std::thread and std::mutex. Test
# programs run under Wine (Debian: wine) in a prefix of their own inside the
# build folder, never in ~/.wine:
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DFW_CORE_ONLY=ON -DFW_GTEST_SOURCE_DIR=/usr/src/googletest
#   cmake --build build-win -j2 && (cd build-win && ctest -j2)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FW_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${FW_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in, so a program runs without the
# compiler's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine runs the test programs. WINEDLLOVERRIDES keeps the first start from
# offering to install Mono and Gecko, which nothing here needs.
set(FW_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${FW_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine)
