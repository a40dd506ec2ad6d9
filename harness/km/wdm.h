// Umbrella header: everything a WDM driver sees of the kernel on the host
// build. The platform layer includes this in place of the DDK headers.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "ke.h"
#include "ex.h"
#include "rtl.h"
#include "io.h"
#include "ntddser.h"
#include "usb.h"
#include "wmilib.h"
#include "paged_code.h"
