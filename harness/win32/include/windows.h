/* The Windows declarations a serial program needs, for building a program
 * written for Windows on Linux against the Tarnlink Win32 library
 * (libtarnlink-win32.so): put this directory first on the include path and
 * the program's own #include <windows.h> finds it. */
#pragma once

#include "tarnlink_win32/types.h"
#include "tarnlink_win32/errors.h"
#include "tarnlink_win32/kernel.h"
#include "tarnlink_win32/comm.h"
