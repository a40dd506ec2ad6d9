// The USB trace read back by Wireshark's command-line reader: what we write
// must be what a USBPcap capture of the same traffic would show.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness/usb/usb_trace.h"
#include "usb_test_device.h"

namespace {

// Runs tshark on `file` and returns what it printed on standard output.
std::string Tshark(const std::string& file, const std::string& arguments) {
    const std::string command = "tshark -r '" + file + "' " + arguments + " 2>/dev/null";
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[512];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
        pclose(pipe);
    }
    return output;
}

class UsbTraceTest : public UsbTest {
protected:
    void SetUp() override {
        UsbTest::SetUp();
        if (std::system("command -v tshark >/dev/null 2>&1") != 0)
            GTEST_FAIL() << "tshark is not installed: install the Debian package 'tshark' "
                            "(tools/ensure-packages test)";
        file_ = ::testing::TempDir() + "usb_trace_test_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    }
    void TearDown() override {
        harness::usb::StopTrace();
        if (std::getenv("KEEP_USB_TRACE") == nullptr) std::remove(file_.c_str());  // kept for a look in Wireshark
        UsbTest::TearDown();
    }
    std::string file_;
};

TEST_F(UsbTraceTest, TsharkReadsControlAndBulkTraffic) {
    std::vector<uint8_t> config = usbtest::SingleInterfaceConfiguration();
    Plug(config);
    ASSERT_TRUE(harness::usb::StartTrace(file_));

    // SET_LINE_CODING, 9600 baud 8N1.
    UCHAR coding[7] = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};
    URB urb;
    BuildVendor(urb, URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0x20, 0, 0, coding, sizeof coding);
    SendAndWait(&urb);

    // A device descriptor coming back.
    UCHAR descriptor[18];
    std::memset(&urb, 0, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                                 0, 0, descriptor, nullptr, sizeof descriptor, nullptr);
    SendAndWait(&urb);

    // Bulk data both ways, and a stalled vendor request.
    PUSBD_INTERFACE_INFORMATION info = InterfaceOf(SelectConfiguration(config), 0);
    UCHAR out[] = {'h', 'i'};
    BuildBulk(urb, info->Pipes[1].PipeHandle, out, sizeof out, USBD_TRANSFER_DIRECTION_OUT);
    SendAndWait(&urb);
    UCHAR in[64];
    BuildBulk(urb, info->Pipes[2].PipeHandle, in, sizeof in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    auto& read = Send(&urb);
    harness::dispatcher::RunFor(harness::dispatcher::kMillisecond);
    device_->Feed(0x83, {'a', 'b', 'c'});
    ASSERT_TRUE(Wait(read));
    harness::usb::StallControlRequests(1);
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0x0303, 0x0042, nullptr, 0);
    SendAndWait(&urb);
    harness::usb::StopTrace();
    EXPECT_EQ(harness::usb::TracePacketCount(), 12u);  // 6 URBs, each down and back

    // One line a packet: direction (1 = completion), URB function, USBD
    // status, endpoint, then the setup packet, the configuration value of a
    // SET_CONFIGURATION, an OUT data stage, a device descriptor's vendor and
    // bulk data, as Wireshark dissects them.
    const std::string fields =
        "-T fields -E separator='|' -E occurrence=f -e usb.irp_info.direction -e usb.function -e usb.usbd_status "
        "-e usb.endpoint_address -e usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex "
        "-e usb.setup.wLength -e usb.bConfigurationValue -e usb.data_fragment -e usb.idVendor -e usb.capdata";
    EXPECT_EQ(Tshark(file_, fields),
              "0x00|0x001b|0x00000000|0x00|0x21|32|0x0000|0|7||80250000000008||\n"  // SET_LINE_CODING
              "0x01|0x001b|0x00000000|0x00|||||||||\n"
              "0x00|0x000b|0x00000000|0x80|0x80|6|||18||||\n"  // GET_DESCRIPTOR (device)
              "0x01|0x000b|0x00000000|0x80||||||||0x1a2b|\n"
              "0x00|0x0000|0x00000000|0x00|0x00|9||0|0|1|||\n"  // the selection's SET_CONFIGURATION
              "0x01|0x0000|0x00000000|0x00|||||||||\n"
              "0x00|0x0009|0x00000000|0x02|||||||||6869\n"  // bulk out "hi"
              "0x01|0x0009|0x00000000|0x02|||||||||\n"
              "0x00|0x0009|0x00000000|0x83|||||||||\n"  // bulk in "abc"
              "0x01|0x0009|0x00000000|0x83|||||||||616263\n"
              "0x00|0x0017|0x00000000|0x00|0x40|1|0x0303|66|0||||\n"  // a vendor request, stalled
              "0x01|0x0017|0xc0000004|0x00|||||||||\n");
}

TEST_F(UsbTraceTest, TimeStampsFollowTheVirtualClock) {
    Plug();
    ASSERT_TRUE(harness::usb::StartTrace(file_));
    harness::dispatcher::RunFor(1500 * harness::dispatcher::kMillisecond);
    URB urb;
    BuildVendor(urb, URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_OUT, 0x01, 0, 0, nullptr, 0);
    SendAndWait(&urb);
    harness::usb::StopTrace();
    // 2026-01-01 00:00:01.500 UTC, and the completion 1 ms later.
    EXPECT_EQ(Tshark(file_, "-T fields -e frame.time_epoch"), "1767225601.500000000\n1767225601.501000000\n");
}

}  // namespace
