// A port for the tests of the modem lines, flow control and wait-on-mask: a
// started port with a scripted peer in its connector and a handle on it,
// whose receive side is set up as open leaves it (a 4096-byte buffer in
// buffered mode, XoffLimit 512, XonLimit 2048, the stored handflow applied
// to the chip, portOpen set).
//
// The handle's create and close reach small routines of the test, which
// succeed; the port's receive side is prepared here directly, so that these
// tests do not depend on the receive buffer's own routines. Cleanup and
// device control go to the driver.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "io/deferred_work.h"
#include "io/wait_mask.h"
#include "serial/modem_lines.h"
#include "support/port_fixture.h"

class ModemPortTest : public PortFixture {
protected:
    static constexpr ULONG kBufferSize = 4096;

    TestPort& OpenPort(int generation = 2) {
        TestPort& port = PlugScriptedPort(generation);
        driver_->object->MajorFunction[IRP_MJ_CREATE] = Succeed;
        driver_->object->MajorFunction[IRP_MJ_CLOSE] = Succeed;
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        PortExtension* ext = port.ext;
        ext->rxBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kBufferSize, PORT_POOL_TAG));
        ext->rxBufferSize = kBufferSize;
        ext->rxGet = ext->rxPut = ext->rxTarget = ext->rxBuffer;
        ext->rxLast = ext->rxBuffer + kBufferSize - 1;
        ext->rxCount = 0;
        ext->rxEightyPercent = kBufferSize / 4 * 3 + kBufferSize / 16;
        ext->handFlow.XoffLimit = kBufferSize / 8;
        ext->handFlow.XonLimit = kBufferSize / 2;
        ApplyHandFlow(ext, &ext->handFlow);  // every group, as at open
        ext->portOpen = 1;
        // The line as an application sets it, through the handle.
        SetLineControl(port, 8, NO_PARITY, STOP_BIT_1);
        SetBaud(port, 9600);
        ext_ = ext;
        port_ = &port;
        return port;
    }

    void TearDown() override {
        if (ext_ != nullptr) {
            ext_->portOpen = 0;
            harness::dispatcher::SetDpcDelivery(harness::dispatcher::DpcDelivery::Immediate);
            for (auto& port : ports_)
                if (port->handle) Close(*port);
            Run(100 * harness::dispatcher::kMillisecond);  // checks and line changes in flight end
            ExFreePoolWithTag(ext_->rxBuffer, PORT_POOL_TAG);
            ext_->rxBuffer = ext_->rxGet = ext_->rxPut = ext_->rxTarget = ext_->rxLast = nullptr;
            ext_->rxBufferSize = 0;
        }
        PortFixture::TearDown();
    }

    // --- Running code as the driver's DISPATCH_LEVEL paths do -------------------
    template <typename F>
    static void AtDispatch(F&& f) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        f();
        KeLowerIrql(old);
    }
    // A new status word from the chip, as the status stream hands it over.
    UCHAR NewStatusWord(USHORT word) {
        UCHAR image = 0;
        AtDispatch([&] {
            ext_->uartState = word;
            image = EvaluateModemStatus(ext_);
        });
        return image;
    }
    void Raise(ULONG events) {
        AtDispatch([&] { RaiseEvents(ext_, events); });
    }
    // One received character through the receive-side checks with `before`
    // characters already in the buffer, under the locks of the bulk-in path.
    void Receive(UCHAR character, ULONG before) {
        AtDispatch([&] {
            KeAcquireSpinLockAtDpcLevel(&ext_->controlLock);
            KeAcquireSpinLockAtDpcLevel(&ext_->rxLock);
            ext_->rxCount = before;
            ReceiveChar(ext_, character);
            KeReleaseSpinLockFromDpcLevel(&ext_->rxLock);
            KeReleaseSpinLockFromDpcLevel(&ext_->controlLock);
        });
    }
    // The read side: the buffer has drained to `count`.
    void Drained(ULONG count) {
        AtDispatch([&] {
            KeAcquireSpinLockAtDpcLevel(&ext_->controlLock);
            ext_->rxCount = count;
            ReleaseReceiveHold(ext_);
            KeReleaseSpinLockFromDpcLevel(&ext_->controlLock);
        });
    }
    void HandFlow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit = kBufferSize / 2,
                  LONG xoffLimit = kBufferSize / 8) {
        SERIAL_HANDFLOW handFlow{};
        handFlow.ControlHandShake = controlHandShake;
        handFlow.FlowReplace = flowReplace;
        handFlow.XonLimit = xonLimit;
        handFlow.XoffLimit = xoffLimit;
        ApplyHandFlow(ext_, &handFlow);
    }

    // --- Wait-on-mask through the I/O manager ------------------------------------
    NTSTATUS SetWaitMask(ULONG mask) {
        return harness::app::Ioctl(port_->handle, IOCTL_SERIAL_SET_WAIT_MASK, harness::app::AsBytes(mask), 0).status;
    }
    std::shared_ptr<harness::app::Request> WaitOnMask() {
        return harness::app::IoctlAsync(port_->handle, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    }
    static ULONG Events(const harness::app::Request& wait) {
        ULONG events = 0xFFFFFFFF;
        if (wait.Output().size() == sizeof(ULONG)) std::memcpy(&events, wait.Output().data(), sizeof(ULONG));
        return events;
    }

    // What the chip sent on its serial line.
    std::vector<uint8_t> Transmitted() const { return port_->chip->TransmittedBytes(); }

    TestPort* port_ = nullptr;
    PortExtension* ext_ = nullptr;

private:
    static NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
};
