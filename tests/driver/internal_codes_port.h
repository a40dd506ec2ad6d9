// Shared by the tests of the internal control codes: an internal code
// through the port's handle, the settings as the application's get codes
// report them, and the basic-settings record a save returned.
#pragma once

#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "pnp_test_port.h"

class InternalCodesFixture : public PnpFixture {
protected:
    static constexpr ULONG kBasicLength = sizeof(SERIAL_BASIC_SETTINGS);

    static harness::app::Result Internal(TestPort& port, ULONG code, std::span<const uint8_t> input = {},
                                         ULONG outLength = 0) {
        return harness::app::Ioctl(port.handle, code, input, outLength, /*internal=*/true);
    }
    template <typename Record>
    static Record Get(TestPort& port, ULONG code) {
        const harness::app::Result r = harness::app::Ioctl(port.handle, code, {}, sizeof(Record));
        EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << code;
        Record record{};
        if (r.output.size() >= sizeof(Record)) std::memcpy(&record, r.output.data(), sizeof(Record));
        return record;
    }
    static SERIAL_TIMEOUTS Timeouts(TestPort& port) { return Get<SERIAL_TIMEOUTS>(port, IOCTL_SERIAL_GET_TIMEOUTS); }
    static SERIAL_HANDFLOW HandFlow(TestPort& port) { return Get<SERIAL_HANDFLOW>(port, IOCTL_SERIAL_GET_HANDFLOW); }
    // The record a successful IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS returned.
    static SERIAL_BASIC_SETTINGS Saved(const harness::app::Result& r) {
        SERIAL_BASIC_SETTINGS saved{};
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, kBasicLength);
        if (r.output.size() >= kBasicLength) std::memcpy(&saved, r.output.data(), kBasicLength);
        return saved;
    }
    // A file request of `major` built by a kernel-mode sender: `length`
    // bytes of 0xEE with 16 more behind them, returned whole.
    static harness::app::Result KernelFileRequest(TestPort& port, UCHAR major, ULONG infoClass, ULONG length) {
        std::vector<uint8_t> buffer(length + 16, 0xEE);
        PIRP irp = IoAllocateIrp(port.Fdo()->StackSize, FALSE);
        irp->Flags = IRP_BUFFERED_IO | (major == IRP_MJ_QUERY_INFORMATION ? IRP_INPUT_OPERATION : 0);
        irp->AssociatedIrp.SystemBuffer = length ? buffer.data() : nullptr;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        if (major == IRP_MJ_QUERY_INFORMATION) {
            stack->Parameters.QueryFile.Length = length;
            stack->Parameters.QueryFile.FileInformationClass = static_cast<FILE_INFORMATION_CLASS>(infoClass);
        } else {
            stack->Parameters.SetFile.Length = length;
            stack->Parameters.SetFile.FileInformationClass = static_cast<FILE_INFORMATION_CLASS>(infoClass);
        }
        auto request = std::make_unique<LooseRequest>();
        KeInitializeEvent(&request->done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, LooseRequestDone, request.get(), TRUE, TRUE, TRUE);
        if (IoCallDriver(port.Fdo(), irp) == STATUS_PENDING)
            KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
        return harness::app::Result{request->ioStatus.Status, request->ioStatus.Information, buffer};
    }
};
