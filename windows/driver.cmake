# The Windows kernel driver image, built from ${TARNLINK_DRIVER_SOURCES} with
# the mingw-w64 cross compiler of the toolchain file in use:
#   windows/toolchain-i686.cmake    -> tarnlink.sys    (x86, PE32)
#   windows/toolchain-x86_64.cmake  -> tarnlink64.sys  (x64, PE32+)
# Included by the top-level CMakeLists.txt when CMAKE_SYSTEM_NAME is Windows.
#
# Kernel code runs without a C or C++ run-time library: no start-up code,
# no static constructors, no exceptions, no stack probes, no C library
# imports. Everything the image calls is imported from ntoskrnl.exe,
# HAL.dll (x86 spin locks), USBD.SYS and WMILIB.SYS, or linked statically
# from libgcc (64-bit division helpers on x86, which import nothing).

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TARNLINK_WINDOWS_ARCH x86)
  set(TARNLINK_IMAGE_NAME tarnlink)
  # DriverEntry is NTAPI (stdcall) with two pointer arguments.
  set(TARNLINK_ENTRY_SYMBOL _DriverEntry@8)
  # The conventional preferred bases of driver images; the kernel
  # relocates every driver anyway.
  set(TARNLINK_IMAGE_BASE 0x10000)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARNLINK_WINDOWS_ARCH x64)
  set(TARNLINK_IMAGE_NAME tarnlink64)
  set(TARNLINK_ENTRY_SYMBOL DriverEntry)
  set(TARNLINK_IMAGE_BASE 0x140000000)
else()
  message(FATAL_ERROR "unexpected pointer size ${CMAKE_SIZEOF_VOID_P} for a Windows driver")
endif()

# The DDK headers of the toolchain (wdm.h, ntddk.h, usbdlib.h, wmilib.h...).
find_path(TARNLINK_DDK_INCLUDE_DIR wdm.h PATH_SUFFIXES ddk NO_CACHE)
if(NOT TARNLINK_DDK_INCLUDE_DIR)
  message(FATAL_ERROR "the mingw-w64 DDK headers (include/ddk/wdm.h) were not found; run tools/ensure-packages windows")
endif()

find_program(TARNLINK_PERL perl REQUIRED)
if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "no dlltool for ${CMAKE_CXX_COMPILER}; run tools/ensure-packages windows")
endif()

# Driver code is C++17 without GNU extensions, as in the host build.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

# Kernel code is optimised as for speed, but not with -O3's loop
# unrolling and inlining that inflate code and stack frames.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -g -DNDEBUG")

# --------------------------------------------------------------- compile flags
# Shared by the driver image and the names check.
add_library(tarnlink_kernel_mode INTERFACE)
target_include_directories(tarnlink_kernel_mode INTERFACE ${CMAKE_SOURCE_DIR})
target_include_directories(tarnlink_kernel_mode SYSTEM INTERFACE ${TARNLINK_DDK_INCLUDE_DIR})
target_compile_definitions(tarnlink_kernel_mode INTERFACE
  # Windows 7 is the oldest system served: routines that appeared later
  # are not even declared.
  _WIN32_WINNT=0x0601
  WINVER=0x0601
  NTDDI_VERSION=0x06010000
  # DBG selects the checked-build behaviour of the DDK macros (ASSERT).
  DBG=$<IF:$<CONFIG:Debug>,1,0>)
target_compile_options(tarnlink_kernel_mode INTERFACE
  ${TARNLINK_DRIVER_FLAGS}
  # No run-time library behind the compiler: no stack-protector canary
  # (would import from libssp), no guard variables for local statics
  # (__cxa_guard_* live in libsupc++).
  -fno-stack-protector
  -fno-threadsafe-statics
  # Kernel stacks are resident (12 KB on x86, 24 KB on x64), so no frame
  # needs __chkstk probing; a frame that would have needed one is refused.
  -mno-stack-arg-probe
  -Wframe-larger-than=4096
  # Windows kernel code is written for a compiler without type-based alias
  # analysis (the DDK's own inline helpers read GUIDs through LONGLONG
  # pointers).
  -fno-strict-aliasing)
if(TARNLINK_WINDOWS_ARCH STREQUAL "x86")
  target_compile_options(tarnlink_kernel_mode INTERFACE
    # The x86 kernel does not preserve x87/SSE state for drivers; refuse
    # floating point instead of corrupting a thread's state.
    -mgeneral-regs-only
    # DWARF unwind tables mean nothing to the x86 kernel. (libgcc's
    # division helpers still bring a few bytes of .eh_frame along.)
    -fno-asynchronous-unwind-tables
    -fno-unwind-tables)
endif()
# On x64 the unwind data (.pdata/.xdata) stays: the kernel walks it to
# unwind through driver frames (bug-check stack traces, exceptions raised
# by kernel routines).

# ------------------------------------------------------------- names check
# Compiled, never linked: fails the build when a kernel, USB or WMI name the
# driver relies on is missing or spelled differently in the DDK headers.
add_library(tarnlink_names_check OBJECT ${CMAKE_SOURCE_DIR}/platform/platform_names_check.cpp)
target_link_libraries(tarnlink_names_check PRIVATE tarnlink_kernel_mode)

# ------------------------------------------------------------ driver image
if(NOT TARNLINK_DRIVER_SOURCES)
  message(WARNING "no driver sources (driver/, usb/, serial/, io/): ${TARNLINK_IMAGE_NAME}.sys is not built")
  return()
endif()

add_executable(tarnlink_image ${TARNLINK_DRIVER_SOURCES})
target_link_libraries(tarnlink_image PRIVATE tarnlink_kernel_mode)
set_target_properties(tarnlink_image PROPERTIES
  OUTPUT_NAME ${TARNLINK_IMAGE_NAME}
  PREFIX ""
  SUFFIX ".sys"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# CMake's defaults for Windows executables name the user-mode system
# libraries (kernel32, user32...); a driver links none of them.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

target_link_options(tarnlink_image PRIVATE
  -nostdlib
  -shared
  -s
  -Wl,--subsystem,native:6.1
  -Wl,--major-os-version,6
  -Wl,--minor-os-version,1
  -Wl,--entry,${TARNLINK_ENTRY_SYMBOL}
  -Wl,--image-base,${TARNLINK_IMAGE_BASE}
  # The image is stripped; the map (build/win*/tarnlink*.map) turns crash
  # addresses into routine names, and the image checks find DriverEntry in it.
  -Wl,-Map,${CMAKE_BINARY_DIR}/${TARNLINK_IMAGE_NAME}.map
  -Wl,--dynamicbase
  -Wl,--nxcompat
  # A driver exports nothing.
  -Wl,--exclude-all-symbols
  # Every import must be declared dllimport by the headers: no stdcall
  # name guessing, no auto-import of data (its pseudo-relocations would
  # need the C run time's relocator, which a driver does not have).
  -Wl,--disable-stdcall-fixup
  -Wl,--disable-auto-import
  -Wl,--disable-runtime-pseudo-reloc
  -Wl,--fatal-warnings)

# Nothing runs a driver's static constructors: no start-up code calls the
# list the linker builds from .ctors. A global with a dynamic initializer
# would stay silently unconstructed, so refuse to link one: this script,
# given to the linker as an input file, adds an assertion to the default
# script that the constructor list holds only its two sentinel entries.
math(EXPR TARNLINK_EMPTY_CTOR_LIST_BYTES "2 * ${CMAKE_SIZEOF_VOID_P}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/no-static-constructors.ld CONTENT
"ASSERT(__DTOR_LIST__ - __CTOR_LIST__ == ${TARNLINK_EMPTY_CTOR_LIST_BYTES},
       \"a global or static object needs a constructor at run time; kernel drivers have none: make it constant-initialised or initialise it in DriverEntry\")
")
target_link_options(tarnlink_image PRIVATE ${CMAKE_BINARY_DIR}/no-static-constructors.ld)
set_property(TARGET tarnlink_image APPEND PROPERTY LINK_DEPENDS ${CMAKE_BINARY_DIR}/no-static-constructors.ld)

target_link_libraries(tarnlink_image PRIVATE ntoskrnl)
if(TARNLINK_WINDOWS_ARCH STREQUAL "x86")
  # KfAcquireSpinLock/KfReleaseSpinLock and KeGetCurrentIrql on x86.
  target_link_libraries(tarnlink_image PRIVATE hal)
endif()
if(TARNLINK_WINDOWS_ARCH STREQUAL "x86")
  # USBD.SYS on x86 through one import library of our own with undecorated
  # import names (see windows/usbd-x86.def), so that the image has one
  # import descriptor for the module, as the platform's own linker makes.
  set(TARNLINK_USBD_LIB ${CMAKE_BINARY_DIR}/libusbd-x86.a)
  add_custom_command(OUTPUT ${TARNLINK_USBD_LIB}
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${CMAKE_SOURCE_DIR}/windows/usbd-x86.def
            --output-lib ${TARNLINK_USBD_LIB}
    DEPENDS ${CMAKE_SOURCE_DIR}/windows/usbd-x86.def
    VERBATIM)
  add_custom_target(tarnlink_usbd_import_lib DEPENDS ${TARNLINK_USBD_LIB})
  add_dependencies(tarnlink_image tarnlink_usbd_import_lib)
  set_property(TARGET tarnlink_image APPEND PROPERTY LINK_DEPENDS ${TARNLINK_USBD_LIB})
  target_link_libraries(tarnlink_image PRIVATE ${TARNLINK_USBD_LIB})
else()
  target_link_libraries(tarnlink_image PRIVATE usbd)
endif()
target_link_libraries(tarnlink_image PRIVATE wmilib gcc)

# The loader checks the image checksum of kernel drivers; ld leaves it 0.
add_custom_command(TARGET tarnlink_image POST_BUILD
  COMMAND ${TARNLINK_PERL} ${CMAKE_SOURCE_DIR}/windows/pe_checksum.pl $<TARGET_FILE:tarnlink_image>
  VERBATIM)
