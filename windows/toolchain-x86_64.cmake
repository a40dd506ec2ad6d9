# Cross build of the 64-bit driver, tarnlink64.sys, with the mingw-w64
# compiler for x86-64. Used as:
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TARNLINK_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
