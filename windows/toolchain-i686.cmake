# Cross build of the 32-bit driver, tarnlink.sys, with the mingw-w64
# compiler for i686. Used as:
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TARNLINK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
