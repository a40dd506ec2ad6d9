# What the two driver toolchain files share: the mingw-w64 compilers of
# TARNLINK_MINGW_TRIPLET, and headers and libraries from that toolchain's
# own tree only (its DDK headers and kernel import libraries).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TARNLINK_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARNLINK_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${TARNLINK_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${TARNLINK_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNLINK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
