# Cross build of the 64-bit driver, tarnlink64.sys, with the mingw-w64
# compiler for x86-64 and the DDK headers and import libraries that come
# with it. Used as:
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TARNLINK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNLINK_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARNLINK_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${TARNLINK_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${TARNLINK_MINGW_TRIPLET}-objdump)

# Headers and libraries come from the toolchain's own tree only.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNLINK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
