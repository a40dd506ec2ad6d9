// A tiny test driver for the I/O manager's tests: every device routes its
// requests to a std::function the test supplies, and completion routines
// can be lambdas too.
#pragma once

#include <deque>
#include <functional>
#include <string>

#include "harness/kernel/io_manager.h"
#include "harness/km/wdm.h"
#include "support/kernel_test.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS NTAPI RouteDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* handler = *static_cast<Handler**>(device->DeviceExtension);
    return *handler ? (*handler)(device, irp) : Complete(irp, STATUS_SUCCESS);
}

inline NTSTATUS NTAPI RouteCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return (*static_cast<Handler*>(context))(device, irp);
}

}  // namespace iotest

class IoTest : public KernelTest {
protected:
    PDRIVER_OBJECT TestDriver() {
        if (driver_ == nullptr) {
            driver_ = harness::io::CreateDriverObject(u"\\Driver\\iotest");
            for (auto& entry : driver_->MajorFunction) entry = iotest::RouteDispatch;
        }
        return driver_;
    }

    // A started device (DO_DEVICE_INITIALIZING cleared) whose requests go to
    // `handler` (null: complete with STATUS_SUCCESS).
    PDEVICE_OBJECT AddDevice(iotest::Handler handler, const char16_t* name = nullptr, bool exclusive = false,
                             ULONG flags = DO_BUFFERED_IO) {
        UNICODE_STRING unicodeName;
        if (name != nullptr) RtlInitUnicodeString(&unicodeName, name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(TestDriver(), sizeof(iotest::Handler*), name ? &unicodeName : nullptr,
                                 FILE_DEVICE_UNKNOWN, 0, exclusive, &device),
                  STATUS_SUCCESS);
        handlers_.push_back(std::move(handler));
        *static_cast<iotest::Handler**>(device->DeviceExtension) = &handlers_.back();
        device->Flags = (device->Flags & ~DO_DEVICE_INITIALIZING) | flags;
        return device;
    }

    // A device attached on top of `below`'s stack.
    PDEVICE_OBJECT AddFilter(PDEVICE_OBJECT below, iotest::Handler handler) {
        PDEVICE_OBJECT filter = AddDevice(std::move(handler));
        EXPECT_NE(IoAttachDeviceToDeviceStack(filter, below), nullptr);
        return filter;
    }

    void SetHandler(PDEVICE_OBJECT device, iotest::Handler handler) {
        **static_cast<iotest::Handler**>(device->DeviceExtension) = std::move(handler);
    }

    // Context for IoSetCompletionRoutine(irp, iotest::RouteCompletion, Routine(...), ...).
    iotest::Handler* Routine(iotest::Handler handler) {
        routines_.push_back(std::move(handler));
        return &routines_.back();
    }

    // A handler that passes requests down unchanged (skipping its location).
    static iotest::Handler PassDown(PDEVICE_OBJECT lower) {
        return [lower](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower, irp);
        };
    }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::deque<iotest::Handler> handlers_;
    std::deque<iotest::Handler> routines_;
};
