# Cross build of the 32-bit driver, tarnlink.sys, with the mingw-w64
# compiler for i686 and the DDK headers and import libraries that come
# with it. Used as:
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TARNLINK_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNLINK_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARNLINK_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${TARNLINK_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${TARNLINK_MINGW_TRIPLET}-objdump)

# Headers and libraries come from the toolchain's own tree only.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNLINK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
