// Completion as drivers rely on it: routines run bottom-up with the device
// object of the driver that set them and only for the outcomes they asked
// for; STATUS_MORE_PROCESSING_REQUIRED hands the IRP back; pending marks
// travel up the stack; skipped and copied stack locations.
#include <vector>

#include "io_test_driver.h"

using iotest::Complete;
using iotest::RouteCompletion;

namespace {

// A driver-allocated IRP sent to the top of a stack, whose final routine
// records the outcome and frees it.
struct DriverRequest {
    PIRP irp = nullptr;
    bool finished = false;
    bool pendingReturned = false;
    NTSTATUS status = STATUS_PENDING;
    NTSTATUS returned = STATUS_PENDING;
};

}  // namespace

class IoCompletionTest : public IoTest {
protected:
    void Send(PDEVICE_OBJECT top) {
        auto* r = &sent_.emplace_back();
        r->irp = IoAllocateIrp(top->StackSize, FALSE);
        IoGetNextIrpStackLocation(r->irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(r->irp, RouteCompletion, Routine([r](PDEVICE_OBJECT device, PIRP irp) {
                                   EXPECT_EQ(device, nullptr);  // above the top of an IRP we allocated
                                   r->finished = true;
                                   r->pendingReturned = irp->PendingReturned;
                                   r->status = irp->IoStatus.Status;
                                   IoFreeIrp(irp);
                                   return STATUS_MORE_PROCESSING_REQUIRED;
                               }),
                               TRUE, TRUE, TRUE);
        r->returned = IoCallDriver(top, r->irp);
    }
    const DriverRequest& Last() const { return sent_.back(); }

    std::deque<DriverRequest> sent_;
};

TEST_F(IoCompletionTest, RoutinesRunBottomUpWithTheDeviceThatSetThem) {
    std::vector<std::string> order;
    PDEVICE_OBJECT bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 7); });
    PDEVICE_OBJECT middle = nullptr;
    PDEVICE_OBJECT top = nullptr;
    middle = AddFilter(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([&](PDEVICE_OBJECT device, PIRP irp) {
                                   EXPECT_EQ(device, middle);
                                   EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, middle);
                                   order.push_back("middle");
                                   return STATUS_SUCCESS;
                               }),
                               TRUE, TRUE, TRUE);
        return IoCallDriver(bottom, irp);
    });
    top = AddFilter(middle, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([&](PDEVICE_OBJECT device, PIRP) {
                                   EXPECT_EQ(device, top);
                                   order.push_back("top");
                                   return STATUS_SUCCESS;
                               }),
                               TRUE, TRUE, TRUE);
        return IoCallDriver(middle, irp);
    });
    EXPECT_EQ(top->StackSize, 3);

    Send(top);
    EXPECT_EQ(order, (std::vector<std::string>{"middle", "top"}));
    EXPECT_TRUE(Last().finished);
    EXPECT_EQ(Last().returned, STATUS_SUCCESS);
    EXPECT_EQ(harness::io::LiveIrpCount(), 0u);
}

TEST_F(IoCompletionTest, InvokeFlagsChooseWhenTheRoutineRuns) {
    enum { kSuccess = 1, kError = 2, kCancel = 4 };
    struct {
        NTSTATUS status;
        bool cancel;
        int flags;
        bool runs;
    } cases[] = {
        {STATUS_SUCCESS, false, kSuccess, true},         {STATUS_SUCCESS, false, kError | kCancel, false},
        {STATUS_BUFFER_OVERFLOW, false, kError, true},   // a warning fails NT_SUCCESS
        {STATUS_BUFFER_OVERFLOW, false, kSuccess, false}, {STATUS_IO_DEVICE_ERROR, false, kError, true},
        {STATUS_CANCELLED, true, kCancel, true},         {STATUS_CANCELLED, false, kCancel, false},
    };
    auto* c = &cases[0];
    bool ran = false;
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = c->cancel;
        return Complete(irp, c->status);
    });
    PDEVICE_OBJECT top = AddFilter(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([&](PDEVICE_OBJECT, PIRP) {
                                   ran = true;
                                   return STATUS_SUCCESS;
                               }),
                               c->flags & kSuccess, c->flags & kError, c->flags & kCancel);
        return IoCallDriver(bottom, irp);
    });
    for (auto& each : cases) {
        c = &each;
        ran = false;
        Send(top);
        EXPECT_EQ(ran, c->runs) << "status " << std::hex << c->status << " flags " << c->flags;
        EXPECT_TRUE(Last().finished);
    }
}

TEST_F(IoCompletionTest, MoreProcessingRequiredHandsTheIrpBackForACompletionLater) {
    bool upperRan = false;
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    PDEVICE_OBJECT middle = AddFilter(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([&](PDEVICE_OBJECT, PIRP irp) {
                                   held = irp;  // finish it on the way back up, after the call returns
                                   return STATUS_MORE_PROCESSING_REQUIRED;
                               }),
                               TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(bottom, irp);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_FALSE(upperRan);
        irp->IoStatus.Information = 42;
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // legal: the routine took it back
        return status;
    });
    PDEVICE_OBJECT top = AddFilter(middle, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([&](PDEVICE_OBJECT, PIRP irp) {
                                   upperRan = true;
                                   EXPECT_EQ(irp->IoStatus.Information, 42u);
                                   return STATUS_SUCCESS;
                               }),
                               TRUE, TRUE, TRUE);
        return IoCallDriver(middle, irp);
    });
    Send(top);
    EXPECT_EQ(held, Last().irp);
    EXPECT_TRUE(upperRan);
    EXPECT_TRUE(Last().finished);
}

TEST_F(IoCompletionTest, PendingMarkTravelsUpToEveryDriverThatReturnedPending) {
    PIRP queued = nullptr;
    bool topSawPending = false;
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        queued = irp;
        return STATUS_PENDING;
    });
    // No completion routine: the I/O manager carries the mark up for it.
    PDEVICE_OBJECT middle = AddFilter(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(bottom, irp);
    });
    // A completion routine: it must carry the mark up itself.
    PDEVICE_OBJECT top = AddFilter(middle, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([&](PDEVICE_OBJECT, PIRP irp) {
                                   topSawPending = irp->PendingReturned;
                                   if (irp->PendingReturned) IoMarkIrpPending(irp);
                                   return STATUS_SUCCESS;
                               }),
                               TRUE, TRUE, TRUE);
        return IoCallDriver(middle, irp);
    });
    Send(top);
    EXPECT_EQ(Last().returned, STATUS_PENDING);
    EXPECT_FALSE(Last().finished);

    Complete(queued, STATUS_SUCCESS);
    EXPECT_TRUE(topSawPending);
    EXPECT_TRUE(Last().pendingReturned);
    EXPECT_TRUE(Last().finished);
}

TEST_F(IoCompletionTest, RoutineThatForgetsToPropagatePendingIsReported) {
    PIRP queued = nullptr;
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        queued = irp;
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = AddFilter(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RouteCompletion,
                               Routine([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }),  // no IoMarkIrpPending
                               TRUE, TRUE, TRUE);
        return IoCallDriver(bottom, irp);
    });
    Send(top);
    EXPECT_EQ(TakeViolations("PENDING_RETURNED_WITHOUT_MARK"), 0);  // not known until completion
    Complete(queued, STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations("PENDING_RETURNED_WITHOUT_MARK"), 1);
}

TEST_F(IoCompletionTest, SkippedLocationIsSharedAndCopiedLocationIsNew) {
    PIO_STACK_LOCATION seenByBottom = nullptr;
    PIO_STACK_LOCATION seenByFilter = nullptr;
    PDEVICE_OBJECT bottom = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        seenByBottom = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(seenByBottom->Parameters.Read.Length, 64u);
        return Complete(irp, STATUS_SUCCESS);
    });
    bool skip = true;
    PDEVICE_OBJECT filter = AddFilter(bottom, [&](PDEVICE_OBJECT, PIRP irp) {
        seenByFilter = IoGetCurrentIrpStackLocation(irp);
        if (skip) {
            IoSkipCurrentIrpStackLocation(irp);
        } else {
            IoCopyCurrentIrpStackLocationToNext(irp);
        }
        return IoCallDriver(bottom, irp);
    });
    for (bool s : {true, false}) {
        skip = s;
        PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
        PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
        first->MajorFunction = IRP_MJ_READ;
        first->Parameters.Read.Length = 64;
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([](PDEVICE_OBJECT, PIRP irp) {
                                   IoFreeIrp(irp);
                                   return STATUS_MORE_PROCESSING_REQUIRED;
                               }),
                               TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
        EXPECT_EQ(seenByFilter, first);
        EXPECT_EQ(seenByBottom, skip ? first : first - 1);
    }
}

TEST_F(IoCompletionTest, CallWithNoLocationLeftIsReported) {
    PDEVICE_OBJECT bottom = AddDevice(nullptr);
    // Forgets that the request needs a location for the next driver.
    PDEVICE_OBJECT forwarder = AddDevice([&](PDEVICE_OBJECT, PIRP irp) { return IoCallDriver(bottom, irp); });
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, RouteCompletion, Routine([](PDEVICE_OBJECT, PIRP irp) {
                               IoFreeIrp(irp);
                               return STATUS_MORE_PROCESSING_REQUIRED;
                           }),
                           TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(forwarder, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeViolations("NO_MORE_IRP_STACK_LOCATIONS"), 1);
    Complete(irp, STATUS_SUCCESS);  // the forwarder still owns it
}

// IoAllocateIrp lays the stack locations out right after the packet, in one
// block of IoSizeOfIrp bytes, with the sizes of the processor's kernel
// (IRP 0x70 and IO_STACK_LOCATION 0x24 bytes on x86, 0xD0 and 0x48 on x64):
// a driver that sizes a packet for IoInitializeIrp gets the same answer.
TEST_F(IoCompletionTest, PacketIsFollowedByItsStackLocations) {
    const size_t packet = sizeof(void*) == 8 ? 0xD0 : 0x70;
    const size_t location = sizeof(void*) == 8 ? 0x48 : 0x24;
    EXPECT_EQ(IoSizeOfIrp(3), packet + 3 * location);
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Size, packet + 3 * location);
    const auto base = reinterpret_cast<uintptr_t>(irp);
    // Nothing is current yet: the first driver's location is the last one.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(irp->Tail.Overlay.CurrentStackLocation), base + packet + 3 * location);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(IoGetNextIrpStackLocation(irp)), base + packet + 2 * location);
    IoFreeIrp(irp);
}

TEST_F(IoCompletionTest, ReusedIrpIsSentAgainFromTheTop) {
    PDEVICE_OBJECT device = AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 3); });
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    int completions = 0;
    for (int round = 0; round < 3; ++round) {
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, RouteCompletion, Routine([&](PDEVICE_OBJECT, PIRP) {
                                   completions++;
                                   return STATUS_MORE_PROCESSING_REQUIRED;
                               }),
                               TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    }
    EXPECT_EQ(completions, 3);
    IoFreeIrp(irp);
}
