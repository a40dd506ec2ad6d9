// IoBuildDeviceIoControlRequest: a driver's synchronous request to another
// device, finished into the caller's event, status block and buffer.
#include <cstring>

#include "harness/kernel/dispatcher.h"
#include "io_test_driver.h"

namespace io = harness::io;
namespace dispatcher = harness::dispatcher;

namespace {

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

}  // namespace

class IoDeviceIoControlTest : public IoTest {};

TEST_F(IoDeviceIoControlTest, BufferedRequestCompletesLaterIntoEventStatusAndBuffer) {
    // The lower device answers a millisecond later, from the clock.
    PDEVICE_OBJECT lower = AddDevice([](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, kBuffered);
        EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 2u);
        EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(buffer[0], 0x11);
        EXPECT_EQ(buffer[1], 0x22);
        IoMarkIrpPending(irp);
        dispatcher::ScheduleAfter(
            dispatcher::kMillisecond,
            [irp, buffer] {
                buffer[0] = 0xAA;
                buffer[1] = 0xBB;
                buffer[2] = 0xCC;
                iotest::Complete(irp, STATUS_SUCCESS, 3);
            },
            "test device answers");
        return STATUS_PENDING;
    });

    uint8_t input[2] = {0x11, 0x22};
    uint8_t output[8];
    std::memset(output, 0x55, sizeof output);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBuffered, lower, input, sizeof input, output, sizeof output, TRUE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, lower->StackSize);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(dispatcher::Now(), dispatcher::kMillisecond);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    // Only Information bytes come back.
    const uint8_t expected[8] = {0xAA, 0xBB, 0xCC, 0x55, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(std::memcmp(output, expected, sizeof output), 0);
    EXPECT_FALSE(io::IsLiveIrp(irp));
}

TEST_F(IoDeviceIoControlTest, NeitherMethodPassesTheCallersBuffers) {
    uint8_t input[4] = {1, 2, 3, 4};
    uint8_t output[4] = {};
    PDEVICE_OBJECT lower = AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.Type3InputBuffer, input);
        EXPECT_EQ(irp->UserBuffer, output);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        static_cast<uint8_t*>(irp->UserBuffer)[0] = 9;
        return iotest::Complete(irp, STATUS_SUCCESS, 1);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kNeither, lower, input, 4, output, 4, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);  // set even on a synchronous completion
    EXPECT_EQ(iosb.Information, 1u);
    EXPECT_EQ(output[0], 9);
}

TEST_F(IoDeviceIoControlTest, InjectedAllocationFailureReturnsNullOnce) {
    PDEVICE_OBJECT lower = AddDevice(nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    io::FailNextIrpAllocation();
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kBuffered, lower, nullptr, 0, nullptr, 0, FALSE, &event, &iosb), nullptr);
    io::FailNextIrpAllocation();
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
}
