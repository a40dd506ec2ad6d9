// Tiny helpers for the tests that drive the bridge-chip model directly
// through its UsbDevice interface, without a driver or a bus.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "harness/kernel/dispatcher.h"
#include "harness/usb/chip/chip_model.h"
#include "harness/usb/chip/scripted_peer.h"
#include "harness/usb/frame_scheduler.h"
#include "support/kernel_test.h"

namespace chip_test {

using harness::chip::ChipConfig;
using harness::chip::ChipModel;
using harness::usb::ControlResult;
using harness::usb::PipeResult;
using harness::usb::SetupPacket;
using harness::usb::TransferStatus;
namespace dispatcher = harness::dispatcher;
using dispatcher::kMillisecond;

// A transfer's answer, filled in when (if) the chip calls `done`.
struct Answer {
    int calls = 0;
    int64_t time = -1;
    PipeResult result;
    bool Done() const { return calls > 0; }
};

class ChipTest : public KernelTest {
protected:
    ChipModel& Make(ChipConfig config = ChipConfig::ForGeneration(2)) {
        chip = std::make_shared<ChipModel>(std::move(config));
        return *chip;
    }

    // A control transfer; the chip answers at once unless a fault hangs it
    // (then the result's status is Cancelled and `answered` stays false).
    ControlResult Ctl(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                      std::vector<uint8_t> data = {}, ChipModel* target = nullptr) {
        ControlResult out{TransferStatus::Cancelled, {}};
        answered = false;
        SetupPacket s{type, request, value, index, length};
        (target ? *target : *chip).Control(++nextId, s, std::move(data), [&](ControlResult r) {
            answered = true;
            out = std::move(r);
        });
        return out;
    }
    bool VendorWrite(uint16_t value, uint16_t index) {
        return Ctl(0x40, 0x01, value, index, 0).status == TransferStatus::Success;
    }
    std::optional<std::vector<uint8_t>> VendorRead(uint16_t value, uint16_t length = 1) {
        ControlResult r = Ctl(0xC0, 0x01, value, 0, length);
        if (r.status != TransferStatus::Success) return std::nullopt;
        return r.data;
    }
    std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t length, uint16_t language = 0) {
        return Ctl(0x80, 0x06, static_cast<uint16_t>(type << 8 | index), language, length).data;
    }
    bool SetLineCoding(uint32_t rateWord, uint8_t stop = 0, uint8_t parity = 0, uint8_t data = 8,
                       ChipModel* target = nullptr) {
        harness::chip::LineCoding c{rateWord, stop, parity, data};
        return Ctl(0x21, 0x20, 0, 0, 7, c.Encode(), target).status == TransferStatus::Success;
    }
    void SetLines(bool dtr, bool rts, ChipModel* target = nullptr) {
        Ctl(0x21, 0x22, static_cast<uint16_t>((dtr ? 1 : 0) | (rts ? 2 : 0)), 0, 0, {}, target);
    }

    // A bulk or interrupt transfer carried by the bus's frame schedule (no
    // URB): the answer comes on the frame boundary after it ended, so run
    // the machine to get it.
    std::shared_ptr<Answer> Submit(uint8_t endpoint, uint32_t length, bool shortOk = true,
                                   std::vector<uint8_t> data = {}, ChipModel* target = nullptr) {
        auto answer = std::make_shared<Answer>();
        std::shared_ptr<ChipModel> device = DeviceOf(target);
        harness::usb::PipeTransfer t;
        t.endpoint = endpoint;
        t.shortOk = shortOk;
        t.length = data.empty() ? length : static_cast<uint32_t>(data.size());
        t.data = std::move(data);
        lastTransferId = harness::usb::RunStreamTransfer(device, EndpointOf(*device, endpoint), std::move(t),
                                                         [answer](PipeResult r) {
                                                             ++answer->calls;
                                                             answer->time = dispatcher::Now();
                                                             answer->result = std::move(r);
                                                         });
        return answer;
    }
    // Takes a transfer off the bus before it ends: it is never answered.
    bool Cancel(uint64_t transferId) { return harness::usb::WithdrawStreamTransfer(transferId); }
    static harness::usb::StreamEndpoint EndpointOf(const ChipModel& c, uint8_t address) {
        harness::usb::StreamEndpoint e;
        e.address = address;
        if (address == c.Config().endpoints.statusIn) {
            e.kind = harness::usb::EndpointKind::Interrupt;
            e.maxPacket = c.Config().statusMaxPacket;
            e.interval = c.Config().statusInterval;
        } else {
            e.maxPacket = c.Config().bulkMaxPacket;
        }
        return e;
    }
    // The fixture's chip is owned (the bus keeps it while it has its
    // transfers); another chip is the test's to keep alive.
    std::shared_ptr<ChipModel> DeviceOf(ChipModel* target) {
        if (target == nullptr || target == chip.get()) return chip;
        return std::shared_ptr<ChipModel>(std::shared_ptr<ChipModel>(), target);
    }
    std::shared_ptr<Answer> Write(const std::vector<uint8_t>& bytes, ChipModel* target = nullptr) {
        return Submit((target ? *target : *chip).Config().endpoints.bulkOut, 0, false, bytes, target);
    }
    std::shared_ptr<Answer> Read(uint32_t length, bool shortOk = true, ChipModel* target = nullptr) {
        return Submit((target ? *target : *chip).Config().endpoints.bulkIn, length, shortOk, {}, target);
    }
    std::shared_ptr<Answer> ReadStatus(uint32_t length = 10, ChipModel* target = nullptr) {
        return Submit((target ? *target : *chip).Config().endpoints.statusIn, length, false, {}, target);
    }
    static uint16_t WordOf(const Answer& a) {
        const auto& d = a.result.data;
        return d.size() >= 10 ? static_cast<uint16_t>(d[8] | d[9] << 8) : 0xFFFF;
    }
    // Runs the machine until `answer` is done (or `limit` of virtual time).
    bool RunUntilDone(const std::shared_ptr<Answer>& answer, int64_t limit = 10 * dispatcher::kSecond) {
        return dispatcher::RunUntil([&] { return answer->Done(); }, dispatcher::Now() + limit, "chip test");
    }

    std::shared_ptr<ChipModel> chip;
    bool answered = false;
    uint64_t nextId = 0;
    uint64_t lastTransferId = 0;
};

}  // namespace chip_test
