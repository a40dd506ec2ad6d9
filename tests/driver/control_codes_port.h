// Ports for the tests of the serial control codes, driven only the way an
// application drives them: DeviceIoControl on the port's handle
// (harness/app/user_io.h). What a code did is looked for where it shows:
// in the chip (the line coding it runs, its lines, its registers), on the
// far end of the cable, and in what the other get codes report.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/port_fixture.h"

class ControlCodesPort : public PortFixture {
protected:
    using Result = harness::app::Result;

    TestPort& OpenPort(int generation = 2) {
        TestPort& port = PlugPort(generation);
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        return port;
    }
    TestPort& OpenScripted(int generation = 2) {
        TestPort& port = PlugScriptedPort(generation);
        EXPECT_EQ(Open(port), STATUS_SUCCESS);
        return port;
    }

    static Result Code(TestPort& port, ULONG code, std::span<const uint8_t> input = {}, ULONG outputLength = 0) {
        return harness::app::Ioctl(port.handle, code, input, outputLength);
    }
    template <typename Record>
    static Result Set(TestPort& port, ULONG code, const Record& record) {
        return Code(port, code, harness::app::AsBytes(record));
    }
    static Result SetUlong(TestPort& port, ULONG code, ULONG value) { return Set(port, code, value); }

    // A get code that must succeed with exactly the record.
    template <typename Record>
    static Record Get(TestPort& port, ULONG code, size_t length = sizeof(Record)) {
        Record record{};
        const Result r = Code(port, code, {}, static_cast<ULONG>(length));
        EXPECT_EQ(r.status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(r.information, length) << std::hex << code;
        if (r.output.size() >= length) std::memcpy(&record, r.output.data(), length);
        return record;
    }

    static ULONG Baud(TestPort& port) { return Get<SERIAL_BAUD_RATE>(port, IOCTL_SERIAL_GET_BAUD_RATE).BaudRate; }
    static SERIAL_LINE_CONTROL LineControl(TestPort& port) {
        return Get<SERIAL_LINE_CONTROL>(port, IOCTL_SERIAL_GET_LINE_CONTROL);
    }
    static SERIAL_CHARS Chars(TestPort& port) { return Get<SERIAL_CHARS>(port, IOCTL_SERIAL_GET_CHARS); }
    static SERIAL_HANDFLOW HandFlow(TestPort& port) { return Get<SERIAL_HANDFLOW>(port, IOCTL_SERIAL_GET_HANDFLOW); }
    static ULONG ModemStatus(TestPort& port) { return Get<ULONG>(port, IOCTL_SERIAL_GET_MODEMSTATUS); }
    static SERIAL_STATUS CommStatus(TestPort& port) { return Get<SERIAL_STATUS>(port, IOCTL_SERIAL_GET_COMMSTATUS, 20); }
    static SERIALPERF_STATS Stats(TestPort& port) { return Get<SERIALPERF_STATS>(port, IOCTL_SERIAL_GET_STATS); }
    static SERIAL_COMMPROP Properties(TestPort& port) {
        return Get<SERIAL_COMMPROP>(port, IOCTL_SERIAL_GET_PROPERTIES, 64);
    }

    static SERIAL_LINE_CONTROL Frame(UCHAR dataBits, UCHAR parity, UCHAR stopBits) {
        SERIAL_LINE_CONTROL lc{};
        lc.StopBits = stopBits;
        lc.Parity = parity;
        lc.WordLength = dataBits;
        return lc;
    }

    // Control requests of one class or vendor kind the chip received.
    static size_t ClassRequests(const TestPort& port, UCHAR request) {
        return port.chip->Requests(harness::chip::RequestMatch::Class(request)).size();
    }
    static size_t VendorRequests(const TestPort& port, USHORT value) {
        return port.chip->Requests(harness::chip::RequestMatch::Vendor(value)).size();
    }
};

// Class requests of the chip's default pipe (USB CDC).
constexpr UCHAR kSetLineCoding = 0x20;
constexpr UCHAR kSetControlLineState = 0x22;
constexpr UCHAR kSendBreak = 0x23;
// The vendor write of the chip's XON/XOFF character register.
constexpr USHORT kFlowCharsWrite = 0x0505;
