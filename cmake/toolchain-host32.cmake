# The 32-bit host build: the emulated kernel, the driver and the tests as an
# i386 Linux program, standing in for x86 Windows (32-bit pointers and
# ULONG_PTR, the x86 layouts of IRPs, stack locations and URBs, the x86
# IRQL values). Used by `make test32`:
#   cmake -S . -B build/host32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-host32.cmake
# Needs g++'s 32-bit multilib and GoogleTest's sources (tools/ensure-packages
# host32); GoogleTest is compiled into the build tree, as the distribution's
# GoogleTest libraries are 64-bit.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

# SSE2 arithmetic in place of the x87's 80-bit registers, so that the chip
# model's floating point rounds exactly as in the 64-bit build.
#
# -mincoming-stack-boundary=2: x86 Windows code keeps the stack 4-byte
# aligned, where the i386 Linux convention promises 16 bytes at every call.
# The x86 driver image (tarnlink.sys) calls the harness's routines and the
# harness's routines call its callbacks, so every harness routine must
# expect 4 and realign where its SSE spills need 16; without this a
# harness routine entered from the image faults on a misaligned movaps
# (KeSetEvent called from image code did). The top-level CMakeLists adds
# it as a compile option rather than through the cached flags, so that a
# build tree configured before it gets it too.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(TARNLINK_HOST32_ABI_OPTIONS -mincoming-stack-boundary=2)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(TARNLINK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build the tests with")

# The programs run natively where the kernel runs i386 programs (a 64-bit
# kernel with IA-32 emulation), under qemu-i386 otherwise; ctest and the
# test discovery then start them through the emulator.
if(NOT DEFINED CACHE{TARNLINK_HOST32_EMULATOR})
  set(_probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/host32-probe)
  file(WRITE ${_probe_dir}/probe.c "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
  execute_process(COMMAND gcc -m32 probe.c -o probe WORKING_DIRECTORY ${_probe_dir}
                  RESULT_VARIABLE _probe_built OUTPUT_QUIET ERROR_QUIET)
  if(NOT _probe_built EQUAL 0)
    message(FATAL_ERROR "gcc -m32 cannot build a program; run tools/ensure-packages host32")
  endif()
  execute_process(COMMAND ${_probe_dir}/probe RESULT_VARIABLE _probe_ran OUTPUT_QUIET ERROR_QUIET)
  set(_emulator "")
  if(NOT _probe_ran EQUAL 0)
    find_program(_qemu_i386 qemu-i386 NO_CACHE)
    if(NOT _qemu_i386)
      message(FATAL_ERROR "this kernel does not run i386 programs and qemu-i386 is missing; "
                          "run tools/ensure-packages host32")
    endif()
    set(_emulator ${_qemu_i386})
  endif()
  set(TARNLINK_HOST32_EMULATOR "${_emulator}" CACHE STRING "runs the 32-bit programs (empty: natively)")
endif()
if(TARNLINK_HOST32_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNLINK_HOST32_EMULATOR})
endif()
