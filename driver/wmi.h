// WMI: the port publishes the platform's five standard serial-port data
// blocks (port name, communication settings, hardware configuration,
// performance counters, properties), read-only. The WMI library does the
// protocol; the driver gives it the GUID list, the registration
// information and the query routine, and refuses every set.
//
//   wmi.cpp          the GUID list, the library context, the dispatch of
//                    IRP_MJ_SYSTEM_CONTROL, registration information, sets
//   wmi_blocks.cpp   the data blocks: filled at start, copied out on query
//
// Registration: at the first start, undone when a started port is
// surprise-removed or removed (pnp_hooks.cpp). Once deregistered, WMI
// sends the port no more requests; requests from any other sender are
// still answered from what the extension holds.
#pragma once

#include "driver/port_extension.h"

// Indexes of the blocks in the GUID list, in the list's order.
enum WmiBlockIndex : ULONG {
    WMI_BLOCK_PORT_NAME = 0,   // MSSerial_PortName: USHORT byte count, then the name in UTF-16
    WMI_BLOCK_COMM = 1,        // MSSerial_CommInfo: SERIAL_WMI_COMM_DATA, 64 bytes
    WMI_BLOCK_HW = 2,          // MSSerial_HardwareConfiguration: SERIAL_WMI_HW_DATA, 40 bytes
    WMI_BLOCK_PERF = 3,        // MSSerial_PerformanceInformation: SERIAL_WMI_PERF_DATA, 24 bytes
    WMI_BLOCK_PROPERTIES = 4,  // MSSerial_CommProperties: SERIAL_WMI_COMMPROP, 68 bytes
    WMI_BLOCK_COUNT = 5,
};

// --- wmi.cpp -------------------------------------------------------------------
// Points wmiLibContext at the GUID list and the callbacks. First start.
void InitWmiContext(PortExtension* port);
WMI_QUERY_REGINFO_CALLBACK QueryRegInfo;
WMI_SET_DATABLOCK_CALLBACK SetDataBlock;
WMI_SET_DATAITEM_CALLBACK SetDataItem;

// --- wmi_blocks.cpp -----------------------------------------------------------
// Fills the communication, hardware and performance blocks from the
// settings InitPortDefaults and the chip reset left. Every start, before
// the port admits requests.
void FillWmiBlocks(PortExtension* port);
WMI_QUERY_DATABLOCK_CALLBACK QueryDataBlock;
