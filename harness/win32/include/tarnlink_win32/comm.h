/* The comm functions and their records (DCB, COMMTIMEOUTS, COMSTAT,
 * COMMPROP, COMMCONFIG) with the EV_, PURGE_, CE_, MS_ and escape
 * constants, at Windows' sizes. */
#pragma once

#include "tarnlink_win32/types.h"
