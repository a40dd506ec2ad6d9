// The port's timers, DPCs and first serial settings. Runs at every start,
// before the chip is touched, so a restart after a stop returns the
// settings to these values. No handle can be open and no timer or DPC of
// the port is pending at that point, so nothing here takes a lock. The spin
// locks are initialised once, when the device is created: admission uses
// flagsLock even while a restart runs.
#include "driver/port_extension.h"
#include "io/deferred_routines.h"

namespace {

// Line-control image 0x1A: 7 data bits (0x02), even parity (0x18), one stop bit.
constexpr UCHAR kDefaultLineControl = 0x1A;
constexpr UCHAR kDefaultDataMask = 0x7F;

// 75 to 115200 baud in the standard steps, plus user-defined rates.
constexpr ULONG kDefaultSupportedBauds = 0x10067FF9;

constexpr LONGLONG kIntervalPollShort = -1;           // one tick, relative
constexpr LONGLONG kIntervalPollLong = -10000000;     // one second, relative
constexpr LONGLONG kIntervalCutOver = 200000000;      // 20 s

constexpr UCHAR kXonChar = 0x11;
constexpr UCHAR kXoffChar = 0x13;

}  // namespace

PORT_PAGEABLE_CODE void InitPortDefaults(PDEVICE_OBJECT deviceObject) {
    PAGED_CODE();
    PortExtension* port = PortFromDevice(deviceObject);

    KeInitializeTimer(&port->readTotalTimer);
    KeInitializeTimer(&port->readIntervalTimer);
    KeInitializeTimer(&port->writeTotalTimer);
    KeInitializeTimer(&port->immediateTotalTimer);
    KeInitializeTimer(&port->xoffCountTimer);
    KeInitializeTimer(&port->lowerRtsTimer);

    KeInitializeDpc(&port->completeWriteDpc, CompleteWriteDpc, port);
    KeInitializeDpc(&port->completeReadDpc, CompleteReadDpc, port);
    KeInitializeDpc(&port->readTotalTimeoutDpc, ReadTotalTimeoutDpc, port);
    KeInitializeDpc(&port->readIntervalTimeoutDpc, ReadIntervalTimeoutDpc, port);
    KeInitializeDpc(&port->writeTotalTimeoutDpc, WriteTotalTimeoutDpc, port);
    KeInitializeDpc(&port->commErrorDpc, CommErrorDpc, port);
    KeInitializeDpc(&port->completeImmediateDpc, CompleteImmediateDpc, port);
    KeInitializeDpc(&port->immediateTotalTimeoutDpc, ImmediateTotalTimeoutDpc, port);
    KeInitializeDpc(&port->completeWaitDpc, CompleteWaitDpc, port);
    KeInitializeDpc(&port->xoffCountTimeoutDpc, XoffCountTimeoutDpc, port);
    KeInitializeDpc(&port->xoffCountCompleteDpc, XoffCountCompleteDpc, port);
    KeInitializeDpc(&port->startLowerRtsDpc, StartLowerRtsDpc, port);
    KeInitializeDpc(&port->lowerRtsDpc, LowerRtsDpc, port);

    // While the port is closed rxBufferSize is 0, so the flow-control limits
    // and the 80 % mark start at 0; open recomputes them for its buffer.
    port->rxFifoTrigger = 0x00;  // one-byte receive trigger
    port->txFifoAmount = 1;
    port->handFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    port->handFlow.FlowReplace = SERIAL_RTS_CONTROL;
    port->handFlow.XonLimit = static_cast<LONG>(port->rxBufferSize / 2);
    port->handFlow.XoffLimit = static_cast<LONG>(port->rxBufferSize / 8);
    port->currentBaud = 0;  // no rate applied yet
    port->intervalPollShort = kIntervalPollShort;
    port->intervalPollLong = kIntervalPollLong;
    port->intervalCutOver = kIntervalCutOver;
    port->rxEightyPercent = port->rxBufferSize / 4 * 3 + port->rxBufferSize / 16;
    port->specialChars.XonChar = kXonChar;
    port->specialChars.XoffChar = kXoffChar;
    port->lineControl = kDefaultLineControl;
    port->validDataMask = kDefaultDataMask;
    // The frame an application applied before is no longer the one on the
    // line: IOCTL_SERIAL_SET_LINE_CONTROL must not skip it as unchanged.
    RtlZeroMemory(port->lastLineControl, sizeof(port->lastLineControl));
    port->supportedBauds = kDefaultSupportedBauds;
    port->portOpen = 0;
}
