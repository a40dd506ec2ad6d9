// PortExtension: everything one port knows, held in the device extension of
// its device object. The I/O manager allocates it zero-filled together with
// the device object and frees it when the device object is deleted at
// removal; the driver frees everything it hangs on it (names, interface
// strings, descriptors) before that.
//
// Locking, in the order they may be taken:
//   controlLock   line settings, special characters, handflow, time-outs,
//                 modem-control image, receive-side state
//   cancel lock   (system-wide) queues, current-request slots, reference
//                 words, cancel routines, charsQueued
//   rxLock        receive buffer pointers
//   eventLock     waitMask, eventHistory and the pending wait's result slot
// flagsLock is innermost: taken alone, or inside the cancel spin lock where
// admission parks a request (io/admission.cpp); openMutex orders the
// open-state test of the stop and remove queries. settingsMutex is taken
// before any spin lock, at PASSIVE_LEVEL. No spin lock is held while a
// synchronous USB request is sent.
#pragma once

#include "platform/platform.h"

// Reads a word of the port that other processors change with interlocked
// operations (counts, hold bits): as an interlocked operation itself, so
// that the read is one access ordered with theirs.
inline LONG ReadShared(const volatile LONG* word) {
    return InterlockedCompareExchange(const_cast<volatile LONG*>(word), 0, 0);
}

// A word (or pointer) that changes under a lock, with StoreShared, and that
// some reader looks at without that lock: the reader takes it with
// ReadAcquire, one load that sees the old value or the new one. Not
// ReadShared: its compare-exchange stores the value back, and would race
// with the plain reads made under the lock.
inline void StoreShared(volatile LONG* word, LONG value) { InterlockedExchange(word, value); }
inline void StoreShared(volatile ULONG* word, ULONG value) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(word), static_cast<LONG>(value));
}
inline void StoreSharedPointer(PVOID volatile* slot, PVOID value) { InterlockedExchangePointer(slot, value); }

struct StreamRequest;  // one outstanding stream transfer (usb/chip_protocol.h)

// Plug and Play state of the port (pnpState).
enum PnpState : LONG {
    PNP_STATE_ADDED = 0,
    PNP_STATE_STARTED = 1,
    PNP_STATE_STOP_QUERIED = 2,
    PNP_STATE_STOPPED = 3,
    PNP_STATE_REMOVE_QUERIED = 4,
    PNP_STATE_RESTARTING = 6,
};

// Admission bits (pnpAccept), read by the admission check of every request.
#define PNP_ACCEPT_REMOVING 0x1
#define PNP_ACCEPT_STOPPING 0x2
#define PNP_ACCEPT_STOPPED 0x4
#define PNP_ACCEPT_SURPRISE_REMOVED 0x8

// Transmit transfers that may be outstanding at once (a write chunk, the
// one-character transfers of flow control and immediate characters, and
// the empty transfer that wakes a held write).
#define PORT_MAX_BULK_OUT_TRANSFERS 8

// lifecycleFlags.
#define LIFECYCLE_STARTED 0x1
#define LIFECYCLE_STOPPED 0x2

// readProgress of a read that has ended; positive values count characters.
#define READ_PROGRESS_CANCELLED (-1)
#define READ_PROGRESS_TOTAL_TIMEOUT (-2)
#define READ_PROGRESS_FILLED (-3)

struct PortExtension {
    // --- Identity and stack (set once by AddDevice) ---------------------
    PDEVICE_OBJECT deviceObject;  // the port's own device object
    PDRIVER_OBJECT driverObject;  // the driver object given to AddDevice
    PDEVICE_OBJECT lowerDevice;   // next device down; every request and URB goes here
    PDEVICE_OBJECT pdo;           // the bus driver's physical device object
    UNICODE_STRING deviceName;    // "\Device\BrindelSerial<n>", zero-terminated, paged pool

    // --- Plug and Play state ---------------------------------------------
    LONG pnpState;                // PnpState; written only by the PnP dispatch
    // PNP_ACCEPT_*; changed under flagsLock with interlocked operations.
    // The admission check reads it under flagsLock; PortBeingRemoved, on
    // the completion paths, with ReadAcquire and no lock: a completion that
    // reads it a moment before the bit is set is no different from one that
    // ran a moment earlier, and the removal sets the bit before it cancels
    // the streams and waits for them.
    volatile LONG pnpAccept;
    volatile LONG lifecycleFlags; // LIFECYCLE_*; changed under flagsLock
    KSPIN_LOCK flagsLock;
    FAST_MUTEX openMutex;
    // One setting change at a time from the control codes (rate, frame,
    // special characters, handflow, escape character) and the internal
    // codes that save and restore the basic settings: each waits for the
    // chip between its checks and its store, and the rate and the frame
    // share one line-coding record. A kernel mutex, not a fast mutex: the
    // chip requests made under it must run at PASSIVE_LEVEL.
    KMUTEX settingsMutex;
    KEVENT startEvent;            // the start request passed down has come back

    // --- Request accounting ----------------------------------------------
    volatile LONG pendingIrpCount;  // 1 (base) + one per admitted, unfinished request
    KEVENT irpsDoneEvent;           // set when pendingIrpCount reaches 0
    LIST_ENTRY stalledQueue;        // requests held while a stop is pending

    // --- Open state -------------------------------------------------------
    // A handle is open. Changes under controlLock with StoreShared; read
    // elsewhere with PortIsOpen (an acquire load).
    volatile LONG portOpen;
    volatile LONG openCount;      // 0 or 1, interlocked
    ULONG chipConfigured;         // 1 once the chip was detected and configured

    // --- Naming (driver/port_naming.cpp) ------------------------------------
    ULONG skipExternalNaming;         // "SerialSkipExternalNaming": no names at all
    UNICODE_STRING symbolicLinkName;  // "\DosDevices\COMn", zero-terminated, paged pool
    UNICODE_STRING dosName;           // "COMn", SERIALCOMM's data; 66-byte paged buffer,
                                      // empty when the name exceeds 32 characters
    UCHAR createdSymbolicLink;
    UCHAR createdSerialCommEntry;
    UNICODE_STRING interfaceName;     // from IoRegisterDeviceInterface; freed when unnamed

    // --- Power ------------------------------------------------------------
    DEVICE_POWER_STATE devicePowerState;
    DEVICE_POWER_STATE deviceStateMap[PowerSystemMaximum];
    DEVICE_POWER_STATE deviceWake;
    UCHAR sendWaitWake;
    PIRP pendingSystemPowerIrp;
    // 1 from the D0 request of a return to S0 until the port work item
    // (serial/control_line_requests.cpp) puts the chip's settings back.
    // Interlocked.
    volatile LONG restoreWanted;

    // --- WMI (driver/wmi.cpp, driver/wmi_blocks.cpp) --------------------------
    // The library context: the GUID list and the callbacks, set up at the
    // first start, when the port registers with WMI.
    WMILIB_CONTEXT wmiLibContext;
    // The port name for the port-name block: capacity 2n + 1 bytes for n
    // characters over a zeroed 2n + 2 (port_naming.cpp); empty when the
    // port has no name.
    UNICODE_STRING wmiPortName;
    // The data blocks as WMI returns them, refilled at every start. Kept
    // current by the paths that change what they report: the rate
    // (usb/line_coding.cpp), the frame and the flow characters
    // (serial/line_settings.cpp), the flow thresholds (io/receive_buffer.cpp),
    // IsBusy (open_close.cpp) and the counters (the receive, transmit and
    // error paths, alongside perfStats). Read without a lock: a query
    // racing a change may mix old and new values.
    SERIAL_WMI_COMM_DATA wmiCommData;
    SERIAL_WMI_HW_DATA wmiHwData;
    SERIAL_WMI_PERF_DATA wmiPerfData;

    // --- USB device and pipes ---------------------------------------------
    // Non-paged copies kept from start until removal (RemovePortDevice frees
    // them through FreeUsbConfiguration, usb/configuration.cpp).
    PUCHAR deviceDescriptor;                      // the 18-byte device descriptor read at start
    PUSBD_INTERFACE_INFORMATION interfaceInfo0;   // interface 0 after selection (pipe handles), or null
    PUSBD_INTERFACE_INFORMATION interfaceInfo1;   // interface 1 (two-interface layout only), or null
    UCHAR singleInterface;                        // the configuration has exactly one interface
    // Outstanding stream transfers (usb/usb_request.cpp). Each entry holds
    // the StreamRequest of a transfer from its submission until either its
    // completion or a canceller takes it out, always with an interlocked
    // exchange; the hand-off token that decides who frees it lives in the
    // StreamRequest itself. The status and receive streams have one entry
    // each; transmit transfers may overlap (a write chunk and one-character
    // transfers), so they get a small table. Test with StreamOutstanding(),
    // which reads the entries with ReadPointerAcquire: a transfer may come
    // back or be taken the moment after, so its answer is only ever a hint
    // to start a stream, and a start that finds the entry taken is refused.
    StreamRequest* volatile statusTransfer;
    StreamRequest* volatile bulkInTransfer;
    StreamRequest* volatile bulkOutTransfers[PORT_MAX_BULK_OUT_TRANSFERS];
    // Pipes halted by a transfer that failed on the bus, one bit per
    // StreamKind (1 << kind), waiting for the port's work item to reset
    // them; and how many resets in a row each pipe has had without a
    // transfer that succeeded (usb/pipe_recovery.cpp). Interlocked.
    volatile LONG pipesHalted;
    volatile LONG pipeResetsInARow[3];
    // Stream transfers sent and not yet finished by their completion, and
    // the notification event set when that count reaches zero; removal
    // waits on it (usb/usb_request.cpp). Interlocked.
    volatile LONG streamTransfersOut;
    KEVENT streamsDoneEvent;

    // --- Chip state -------------------------------------------------------
    LONG chipType;                // CHIP_GEN_*; -1 until detected at start
    ULONG lineCodingRate;         // SET_LINE_CODING record as last built: rate word,
    UCHAR lineCodingStopBits;     //   0 one, 1 one and a half, 2 two
    UCHAR lineCodingParity;       //   0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR lineCodingDataBits;     //   5 to 8
    UCHAR chipRegisterImage[3];   // last value read from or written to control registers 0-2
    UCHAR rtsFlowEnabled;         // chip-side RTS flow control is on
    // Chip-side CTS and DSR flow control is on. Each changes under
    // controlLock together with its hold bit of txHolding, and the status
    // evaluation (serial/modem_status.cpp) reads them under controlLock:
    // read unlocked, a status word could hold transmission again just
    // after the handshake went off, and nothing would ever release it.
    UCHAR ctsFlowEnabled;
    UCHAR dsrFlowEnabled;
    UCHAR regZeroFixed;           // generation 4 with register 1 = 0x08: flow changes write 0x31 to register 0
    UCHAR extRateMatched;         // the last rate change used an ExtBaudrate entry

    // --- Serial settings (guarded by controlLock) --------------------------
    ULONG currentBaud;            // 0 until a rate has been applied
    ULONG supportedBauds;         // SERIAL_BAUD_* mask
    UCHAR lineControl;            // line-control image: bits 0-1 data bits - 5,
                                  // bit 2 extra stop bit, bits 3-5 parity
    UCHAR validDataMask;          // masks received bytes to the word length
    UCHAR lastLineControl[3];
    UCHAR escapeChar;
    SERIAL_CHARS specialChars;
    SERIAL_HANDFLOW handFlow;
    SERIAL_TIMEOUTS timeouts;
    ULONG txFifoAmount;
    ULONG rxFifoTrigger;
    SERIALPERF_STATS perfStats;

    // --- Modem lines and flow control ------------------------------------
    USHORT modemControl;          // DTR (0x0001) and RTS (0x0002) as last set
    volatile USHORT uartState;    // last status word from the chip (0x02 DSR, 0x80 CTS, ...)
    volatile LONG txHolding;      // reasons transmission is held (0x01 CTS, 0x02 DSR, ...), interlocked
    volatile LONG lowerRtsPending;  // transmit-toggle RTS checks queued or running
    USHORT previousUartState;     // uartState as of the last modem-status evaluation
    volatile LONG rxHolding;      // how the far end is held off (RX_HOLD_*), interlocked
    UCHAR holdingEmpty;           // 1 from the open-time initialisation to the next line-status look (controlLock)
    volatile UCHAR xoffReceived;  // XOFF received under SERIAL_AUTO_TRANSMIT, until the XON
    // A flow-control character that could not be handed to the USB stack
    // (FLOW_CHAR_XON or FLOW_CHAR_XOFF, 0 for none), sent again after the
    // next transmit transfer completes; a newer one replaces it. Interlocked.
    volatile LONG flowCharPending;
    // DTR and RTS changes decided above PASSIVE_LEVEL, waiting for the line
    // work item (LINE_WANT_* of serial/control_line_requests.cpp), and 1
    // while that work item is queued or running; both interlocked. The
    // same work item resets halted pipes and runs the chip restore after a
    // sleep (restoreWanted).
    volatile LONG lineChangesWanted;
    volatile LONG lineWorkQueued;
    // The work item that sends them, allocated with the device and reused:
    // a change decided at DISPATCH_LEVEL cannot wait for pool.
    PIO_WORKITEM lineWorkItem;
    KSPIN_LOCK controlLock;

    // --- Queues and current requests (guarded by the cancel spin lock) -----
    // The current-request slots change with StoreSharedPointer: the
    // transmitter-empty check reads currentWriteIrp without the lock (see
    // writeChunkBusy below).
    LIST_ENTRY readQueue;
    LIST_ENTRY writeQueue;
    LIST_ENTRY maskQueue;
    LIST_ENTRY purgeQueue;
    PIRP currentReadIrp;
    PIRP currentWriteIrp;
    PIRP currentMaskIrp;
    PIRP currentPurgeIrp;
    PIRP currentWaitIrp;
    PIRP currentImmediateIrp;
    PIRP currentXoffIrp;
    ULONG errorWord;              // SERIAL_ERROR_* collected by the receive side (controlLock)

    // --- Wait-on-mask (guarded by eventLock) ---------------------------------
    ULONG waitMask;               // SERIAL_EV_* watched; 0 = none
    ULONG eventHistory;           // watched events not yet reported
    PULONG waitResultSlot;        // system buffer of the armed wait, or null
    KSPIN_LOCK eventLock;

    // --- Receive buffer and read -------------------------------------------
    // Buffered mode: rxTarget == rxBuffer and the rxCount unread characters
    // start at rxGet, wrapping from rxLast to rxBuffer. Direct mode (a read
    // waits): rxTarget is the read's system buffer and characters go
    // straight into it at rxPut. The pointers and rxCount change under
    // rxLock, and under controlLock too except in TakeReadBack, which runs
    // under the cancel spin lock (below controlLock in the lock order) and
    // only ever leaves direct mode.
    PUCHAR rxBuffer;
    ULONG rxBufferSize;           // 0 while the port is closed
    ULONG rxEightyPercent;
    ULONG rxCount;
    PUCHAR rxGet;
    PUCHAR rxTarget;
    PUCHAR rxPut;
    PUCHAR rxLast;
    ULONG readRemaining;          // characters the current read still needs
    LONG readProgress;            // READ_PROGRESS_* or characters delivered
    ULONG rxSinceCheck;           // characters put into the read since the last interval check
    LONGLONG lastCharTime;        // system time the interval check last saw progress
    LONGLONG intervalTime;        // the read's interval time-out, 100 ns units
    LONGLONG* intervalPollPeriod; // intervalPollShort or intervalPollLong
    LONGLONG intervalPollShort;   // one tick, relative
    LONGLONG intervalPollLong;    // one second, relative
    LONGLONG intervalCutOver;     // interval time-outs from here on poll slowly
    // What the current read held in its own buffer when it was taken back or
    // filled, and how much of that a receive purge discarded. A read that
    // ends cancelled gives the rest back to the receive buffer. rxLock.
    ULONG readDelivered;
    ULONG readPurged;
    KSPIN_LOCK rxLock;

    // --- Write --------------------------------------------------------------
    ULONG charsQueued;            // bytes in queued and current writes, plus one per
                                  // immediate-character and xoff-counter request;
                                  // guarded by the cancel spin lock
    ULONG txChunkLimit;           // largest bulk-out transfer of write data: 256, or 4096
    PUCHAR writeCursor;           // next character of the current write to send
    volatile ULONG writeRemaining;  // characters of the current write not yet confirmed sent (StoreShared)
    ULONG txInFlight;             // characters of the current write in the outstanding chunk
    volatile UCHAR writeHeld;     // the current write waits for a hold to end
    volatile UCHAR writeTimedOut; // the write total time-out fired; the next completion ends the write
    UCHAR immediateChar;          // character of the current immediate-character request
    ULONG xoffCountRemaining;     // characters to receive before the xoff counter completes
    // The transmit pipe as the write path uses it (cancel spin lock). At
    // most one write chunk is on the pipe; a cancelled or timed-out write
    // may leave its chunk there (orphaned), and the next write waits for it
    // to come back.
    //
    // The transmitter-empty check after every transmit completion reads
    // writeChunkBusy, currentWriteIrp and writeRemaining without the lock
    // (a one-character transfer may complete inside the call of a sender
    // that holds port locks, where taking the cancel spin lock could break
    // the lock order), so the three change with StoreShared and are read there
    // with ReadAcquire. A stale view is harmless: each of the three is read
    // as one whole value, and "idle" from a mix of old and new can only be
    // seen at the instant a new write takes over from an idle transmitter,
    // when the transmitter was indeed empty; a write that then makes it
    // busy raises the event again when its last chunk comes back.
    volatile LONG writeChunkBusy;       // a write chunk is on the bulk-out pipe (StoreShared)
    volatile UCHAR writeChunkOrphaned;  // ... and its write has already ended
    volatile UCHAR writeWakeUpBusy;     // the empty transfer that ends a timed-out write is on the pipe
    ULONG writeChunkSerial;             // chunks submitted: tells a submission its own refusal apart
    StreamRequest* writeChunkRequest;   // the chunk on the pipe, while writeChunkBusy (cancel spin lock)
    ULONG writeWakeUpSerial;            // likewise for the wake-up transfers
    NTSTATUS writeEndStatus;            // status completeWriteDpc ends the current write with
    NTSTATUS immediateStatus;           // status completeImmediateDpc ends the immediate character with

    // --- Timers and DPCs ---------------------------------------------------
    KTIMER readTotalTimer;
    KTIMER readIntervalTimer;
    KTIMER writeTotalTimer;
    KTIMER immediateTotalTimer;
    KTIMER xoffCountTimer;
    KTIMER lowerRtsTimer;

    KDPC completeWriteDpc;
    KDPC completeReadDpc;
    KDPC readTotalTimeoutDpc;
    KDPC readIntervalTimeoutDpc;
    KDPC writeTotalTimeoutDpc;
    KDPC commErrorDpc;
    KDPC completeImmediateDpc;
    KDPC immediateTotalTimeoutDpc;
    KDPC completeWaitDpc;
    KDPC xoffCountTimeoutDpc;
    KDPC xoffCountCompleteDpc;
    KDPC startLowerRtsDpc;
    KDPC lowerRtsDpc;

    volatile LONG pendingDpcCount;  // 1 (base) + queued DPCs + armed timers
    KEVENT dpcsDoneEvent;           // set when pendingDpcCount reaches 0
};

inline PortExtension* PortFromDevice(PDEVICE_OBJECT deviceObject) {
    return static_cast<PortExtension*>(deviceObject->DeviceExtension);
}

// A surprise removal or removal has begun: only Plug and Play requests are
// admitted, and nothing new may be sent to the USB stack.
inline BOOLEAN PortBeingRemoved(const PortExtension* port) {
    return (ReadAcquire(&port->pnpAccept) & (PNP_ACCEPT_REMOVING | PNP_ACCEPT_SURPRISE_REMOVED)) != 0 ? TRUE : FALSE;
}

// A handle is open on the port (see portOpen): for readers that do not hold
// controlLock.
inline BOOLEAN PortIsOpen(const PortExtension* port) { return ReadAcquire(&port->portOpen) != 0 ? TRUE : FALSE; }

// --- Device creation (add_device.cpp) and port defaults (port_defaults.cpp) --
DRIVER_ADD_DEVICE AddDevice;
NTSTATUS CreatePortDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT* newDevice);
void InitPortDefaults(PDEVICE_OBJECT deviceObject);

// Prefix of every port's device object name; the number follows.
#define PORT_DEVICE_NAME_PREFIX WSTR("\\Device\\BrindelSerial")
