// The application's front door: opens, buffered I/O as the I/O manager
// builds it, waiting, cancelling and closing.
#include <cstring>

#include "harness/app/user_io.h"
#include "harness/kernel/dispatcher.h"
#include "harness/kernel/harness_lock.h"
#include "io_test_driver.h"

namespace app = harness::app;
namespace io = harness::io;
namespace dispatcher = harness::dispatcher;

namespace {

constexpr ULONG kGetBuffered = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x820, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kGetNeither = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x821, METHOD_NEITHER, FILE_ANY_ACCESS);

}  // namespace

class FrontDoorTest : public IoTest {
protected:
    // A port "\Device\Port0" reachable as COM9; requests go to `handler`.
    PDEVICE_OBJECT Port(iotest::Handler handler, bool exclusive = false) {
        PDEVICE_OBJECT device = AddDevice(std::move(handler), u"\\Device\\Port0", exclusive);
        UNICODE_STRING link;
        UNICODE_STRING target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\COM9");
        RtlInitUnicodeString(&target, u"\\Device\\Port0");
        EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        return device;
    }
};

TEST_F(FrontDoorTest, OpenSendsCreateWithTheFileObjectToTheTopOfTheStack) {
    PIO_STACK_LOCATION create;
    PFILE_OBJECT original = nullptr;
    KPROCESSOR_MODE mode = KernelMode;
    ULONG options = 0;
    ACCESS_MASK access = 0;
    PDEVICE_OBJECT port = Port(nullptr);
    AddFilter(port, [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_CREATE)
            return iotest::Complete(irp, STATUS_SUCCESS);
        create = IoGetCurrentIrpStackLocation(irp);
        original = irp->Tail.Overlay.OriginalFileObject;
        mode = irp->RequestorMode;
        options = create->Parameters.Create.Options;
        access = static_cast<PIO_SECURITY_CONTEXT>(create->Parameters.Create.SecurityContext)->DesiredAccess;
        return iotest::Complete(irp, STATUS_SUCCESS);
    });
    app::Handle handle;
    ASSERT_EQ(app::Open(u"\\\\.\\COM9", &handle, FILE_NON_DIRECTORY_FILE), STATUS_SUCCESS);
    EXPECT_EQ(handle.fileObject->DeviceObject, port);  // the named device, not the top
    EXPECT_EQ(original, handle.fileObject);
    EXPECT_EQ(mode, UserMode);
    EXPECT_EQ(options, ULONG(FILE_OPEN << 24 | FILE_NON_DIRECTORY_FILE));
    EXPECT_EQ(access & (FILE_READ_DATA | FILE_WRITE_DATA), ULONG(FILE_READ_DATA | FILE_WRITE_DATA));
    EXPECT_EQ(app::OpenHandleCount(), 1u);
    EXPECT_EQ(app::Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(app::Close(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(app::Read(handle, 1).status, STATUS_INVALID_HANDLE);
}

TEST_F(FrontDoorTest, OpensRefusedBeforeAnyDriverIsAsked) {
    int creates = 0;
    PDEVICE_OBJECT port = Port(
        [&](PDEVICE_OBJECT, PIRP irp) {
            creates += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
            return iotest::Complete(irp, STATUS_SUCCESS);
        },
        /*exclusive=*/true);
    app::Handle first;
    app::Handle second;
    EXPECT_EQ(app::Open(u"COM8", &second), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(app::Open(u"COM9", &first), STATUS_SUCCESS);
    EXPECT_EQ(app::Open(u"COM9", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(creates, 1);
    app::Close(first);

    io::SetOpenRefusal(port, STATUS_DELETE_PENDING);
    EXPECT_EQ(app::Open(u"COM9", &second), STATUS_DELETE_PENDING);
    io::SetOpenRefusal(port, STATUS_SUCCESS);
    port->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(app::Open(u"COM9", &second), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(creates, 1);
}

TEST_F(FrontDoorTest, BufferedReadAndIoctlReturnOnlyInformationBytes) {
    Port([](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        auto* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        switch (location->MajorFunction) {
        case IRP_MJ_READ:
            EXPECT_EQ(irp->Flags & (IRP_BUFFERED_IO | IRP_INPUT_OPERATION), ULONG(IRP_BUFFERED_IO | IRP_INPUT_OPERATION));
            EXPECT_NE(static_cast<void*>(system), irp->UserBuffer);
            EXPECT_EQ(location->Parameters.Read.Length, 8u);
            std::memcpy(system, "abcdefgh", 8);
            return iotest::Complete(irp, STATUS_SUCCESS, 3);
        case IRP_MJ_WRITE:
            EXPECT_EQ(std::memcmp(system, "xyz", 3), 0);
            return iotest::Complete(irp, STATUS_SUCCESS, location->Parameters.Write.Length);
        case IRP_MJ_DEVICE_CONTROL:
            if (location->Parameters.DeviceIoControl.IoControlCode == kGetNeither) {
                EXPECT_EQ(*static_cast<uint8_t*>(location->Parameters.DeviceIoControl.Type3InputBuffer), 7);
                static_cast<uint8_t*>(irp->UserBuffer)[0] = 0x42;
                return iotest::Complete(irp, STATUS_SUCCESS, 1);
            }
            EXPECT_EQ(system[0], 7);  // input, in the same buffer
            system[0] = 1;
            system[1] = 2;
            return iotest::Complete(irp, STATUS_BUFFER_OVERFLOW, 2);  // a warning still returns data
        default:
            return iotest::Complete(irp, STATUS_SUCCESS);
        }
    });
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    auto read = app::Read(port, 8);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.output, (std::vector<uint8_t>{'a', 'b', 'c'}));

    const uint8_t text[] = {'x', 'y', 'z'};
    EXPECT_EQ(app::Write(port, text).information, 3u);

    const uint8_t seven = 7;
    auto buffered = app::Ioctl(port, kGetBuffered, app::AsBytes(seven), 4);
    EXPECT_EQ(buffered.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffered.output, (std::vector<uint8_t>{1, 2}));
    auto neither = app::Ioctl(port, kGetNeither, app::AsBytes(seven), 4);
    EXPECT_EQ(neither.output, (std::vector<uint8_t>{0x42}));
    app::Close(port);
}

TEST_F(FrontDoorTest, PendingReadWaitsOnVirtualTimeAndCanBeCancelled) {
    PIRP queued = nullptr;
    Port([&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ)
            return iotest::Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) NTAPI {
            IoReleaseCancelSpinLock(irp->CancelIrql);
            iotest::Complete(irp, STATUS_CANCELLED);
        });
        queued = irp;
        return STATUS_PENDING;
    });
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    auto read = app::ReadAsync(port, 4);
    EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    EXPECT_EQ(read->Irp(), queued);
    EXPECT_FALSE(app::Wait(*read, 250 * dispatcher::kMillisecond));
    EXPECT_EQ(dispatcher::Now(), 250 * dispatcher::kMillisecond);
    EXPECT_EQ(read->Status(), STATUS_PENDING);

    EXPECT_TRUE(app::Cancel(*read));
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_TRUE(read->Output().empty());
    EXPECT_EQ(read->Irp(), nullptr);
    EXPECT_FALSE(app::Cancel(*read));
    app::Close(port);
}

// The completion callback a Win32 layer learns of completions by: once,
// after Done(), outside the harness lock; at once for a request already done.
TEST_F(FrontDoorTest, CompletionCallbacksRunOnceOutsideTheHarnessLock) {
    PIRP queued = nullptr;
    Port([&](PDEVICE_OBJECT, PIRP irp) {
        const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        if (major == IRP_MJ_DEVICE_CONTROL) return iotest::Complete(irp, STATUS_INVALID_PARAMETER);
        if (major != IRP_MJ_READ) return iotest::Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        queued = irp;
        return STATUS_PENDING;
    });
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    struct Seen {
        int calls = 0;
        bool done = false, lockHeld = true, pendingReturned = false;
        NTSTATUS status = STATUS_PENDING;
    };
    auto record = [](Seen& seen) {
        return [&seen](const app::Request& r) {
            seen.calls++;
            seen.done = r.Done();
            seen.lockHeld = harness::HarnessLock().HeldByCaller();
            seen.pendingReturned = r.PendingReturned();
            seen.status = r.Status();
        };
    };

    Seen pending, failed;
    auto read = app::ReadAsync(port, 4);
    read->OnCompletion(record(pending));
    EXPECT_EQ(pending.calls, 0);
    ASSERT_NE(queued, nullptr);
    {
        harness::HarnessScope held;  // completing under the lock, as a DPC inside the harness does
        iotest::Complete(queued, STATUS_SUCCESS, 2);
    }
    EXPECT_EQ(pending.calls, 1);
    EXPECT_TRUE(pending.done);
    EXPECT_FALSE(pending.lockHeld);
    EXPECT_TRUE(pending.pendingReturned);
    EXPECT_EQ(pending.status, STATUS_SUCCESS);

    auto control = app::IoctlAsync(port, kGetBuffered, {}, 4);
    control->OnCompletion(record(failed));
    EXPECT_EQ(failed.calls, 1) << "already done: the callback runs at once";
    EXPECT_FALSE(failed.pendingReturned) << "failed at once, never pending";
    EXPECT_EQ(failed.status, STATUS_INVALID_PARAMETER);
    app::Close(port);
}

TEST_F(FrontDoorTest, CloseSendsCleanupAtOnceAndCloseAfterTheLastRequest) {
    std::vector<UCHAR> seen;
    PIRP queued = nullptr;
    Port([&](PDEVICE_OBJECT, PIRP irp) {
        const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        seen.push_back(major);
        if (major != IRP_MJ_READ) return iotest::Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        queued = irp;
        return STATUS_PENDING;
    });
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    auto read = app::ReadAsync(port, 4);
    EXPECT_EQ(app::Close(port), STATUS_SUCCESS);  // this driver's cleanup forgets the read
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));

    dispatcher::ScheduleAfter(dispatcher::kSecond, [&] { iotest::Complete(queued, STATUS_SUCCESS, 0); },
                              "late completion");
    EXPECT_TRUE(app::Wait(*read));
    EXPECT_EQ(seen.back(), IRP_MJ_CLOSE);
    EXPECT_EQ(app::OpenHandleCount(), 0u);
}

TEST_F(FrontDoorTest, DriverFaultsSeenFromTheApplication) {
    PIRP kept = nullptr;
    Port([&](PDEVICE_OBJECT, PIRP irp) {
        switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_READ:
            return iotest::Complete(irp, STATUS_SUCCESS, 9);  // more than asked for
        case IRP_MJ_FLUSH_BUFFERS:
            kept = irp;
            return STATUS_SUCCESS;  // neither completed nor pending
        default:
            return iotest::Complete(irp, STATUS_SUCCESS);
        }
    });
    app::Handle port;
    ASSERT_EQ(app::Open(u"COM9", &port), STATUS_SUCCESS);
    EXPECT_EQ(app::Read(port, 4).output.size(), 4u);
    EXPECT_EQ(TakeViolations("INFORMATION_EXCEEDS_BUFFER"), 1);

    auto flush = app::FlushAsync(port);
    EXPECT_EQ(TakeViolations("IRP_NOT_COMPLETED_ON_RETURN"), 1);
    iotest::Complete(kept, STATUS_SUCCESS);
    EXPECT_TRUE(flush->Done());

    // Too short for its class: refused before it reaches the driver.
    EXPECT_EQ(app::QueryInformation(port, FileStandardInformation, 8).status, STATUS_INFO_LENGTH_MISMATCH);
    app::Close(port);
}
