// A small USB device for the USB stack's own tests, and a fixture that
// plugs it into the emulated bus and sends URBs to its PDO.
//
// The device answers the standard descriptor requests from a descriptor set
// built by BuildConfiguration, accepts SET_CONFIGURATION, echoes vendor
// requests (an IN request returns the bytes of the last OUT data stage, or
// wValue and wIndex if there was none), accepts class requests and the
// clearing of an endpoint halt, and stalls anything else. Bulk and interrupt
// OUT transfers are taken at once; IN transfers wait until the test feeds
// data to their endpoint.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "harness/kernel/bus_driver.h"
#include "harness/kernel/dispatcher.h"
#include "harness/km/wdm.h"
#include "harness/usb/usb_bus.h"
#include "harness/usb/usb_device.h"
#include "support/kernel_test.h"

namespace usbtest {

using harness::usb::ControlResult;
using harness::usb::PipeResult;
using harness::usb::PipeTransfer;
using harness::usb::SetupPacket;
using harness::usb::TransferStatus;

struct EndpointSpec {
    uint8_t address;
    uint8_t attributes;  // USB_ENDPOINT_TYPE_*
    uint16_t maxPacket;
    uint8_t interval = 0;
};

struct InterfaceSpec {
    uint8_t number;
    uint8_t alternate;
    uint8_t cls, subClass, protocol;
    std::vector<EndpointSpec> endpoints;
    std::vector<uint8_t> extra = {};  // class-specific descriptors after the interface descriptor
};

inline std::vector<uint8_t> BuildConfiguration(uint8_t value, const std::vector<InterfaceSpec>& interfaces) {
    std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(interfaces.size()),
                              value, 0, 0x80, 50};
    for (const auto& i : interfaces) {
        d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, i.alternate,
                           static_cast<uint8_t>(i.endpoints.size()), i.cls, i.subClass, i.protocol, 0});
        d.insert(d.end(), i.extra.begin(), i.extra.end());
        for (const auto& e : i.endpoints)
            d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes,
                               static_cast<uint8_t>(e.maxPacket), static_cast<uint8_t>(e.maxPacket >> 8), e.interval});
    }
    d[2] = static_cast<uint8_t>(d.size());
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

// Interrupt-in status, bulk-out and bulk-in in one vendor interface.
inline std::vector<uint8_t> SingleInterfaceConfiguration() {
    return BuildConfiguration(1, {{0, 0, 0xFF, 0x00, 0x00,
                                   {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                    {0x02, USB_ENDPOINT_TYPE_BULK, 64},
                                    {0x83, USB_ENDPOINT_TYPE_BULK, 64}}}});
}

// A communication interface with the status endpoint (and a class-specific
// functional descriptor) and a data interface with the two bulk endpoints.
inline std::vector<uint8_t> TwoInterfaceConfiguration() {
    return BuildConfiguration(1, {{0, 0, 0x02, 0x02, 0x01, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 10, 2}},
                                   {5, 0x24, 0x00, 0x10, 0x01}},
                                  {1, 0, 0x0A, 0x00, 0x00,
                                   {{0x02, USB_ENDPOINT_TYPE_BULK, 64}, {0x83, USB_ENDPOINT_TYPE_BULK, 64}}}});
}

class FakeUsbDevice : public harness::usb::UsbDevice {
public:
    explicit FakeUsbDevice(std::vector<uint8_t> configuration = SingleInterfaceConfiguration())
        : configuration_(std::move(configuration)) {}

    struct ControlRecord {
        uint64_t id;
        SetupPacket setup;
        std::vector<uint8_t> dataOut;
    };

    // What the test sees.
    std::vector<ControlRecord> controls;
    std::vector<uint64_t> cancelledControls;
    std::vector<PipeTransfer> submitted;
    std::vector<uint64_t> cancelledTransfers;
    std::map<uint8_t, std::vector<uint8_t>> received;  // OUT endpoint -> bytes taken
    uint8_t configurationValue = 0;
    bool unplugged = false;

    // How it behaves.
    int64_t controlDelay = 0;                 // virtual time before a control answer
    std::optional<std::vector<uint8_t>> vendorReply;  // overrides the echo
    std::function<std::optional<ControlResult>(const SetupPacket&)> override;  // a test's own answer

    void Control(uint64_t id, const SetupPacket& setup, std::vector<uint8_t> dataOut,
                 std::function<void(ControlResult)> done) override {
        controls.push_back({id, setup, dataOut});
        ControlResult result = Answer(setup, dataOut);
        if (controlDelay <= 0) {
            done(std::move(result));
            return;
        }
        pendingControls_[id] = harness::dispatcher::ScheduleAfter(
            controlDelay,
            [this, id, done, result] {
                pendingControls_.erase(id);
                done(result);
            },
            "fake device control answer");
    }

    void CancelControl(uint64_t id) override {
        cancelledControls.push_back(id);
        auto it = pendingControls_.find(id);
        if (it == pendingControls_.end()) return;
        harness::dispatcher::CancelScheduled(it->second);
        pendingControls_.erase(it);
    }

    void Submit(PipeTransfer transfer, std::function<void(PipeResult)> done) override {
        submitted.push_back(transfer);
        if ((transfer.endpoint & 0x80) == 0) {
            auto& bytes = received[transfer.endpoint];
            bytes.insert(bytes.end(), transfer.data.begin(), transfer.data.end());
            PipeResult result;
            result.transferred = static_cast<uint32_t>(transfer.data.size());
            done(result);
            return;
        }
        pendingIn_.push_back({std::move(transfer), std::move(done)});
    }

    void Cancel(uint64_t id) override {
        cancelledTransfers.push_back(id);
        for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it)
            if (it->transfer.id == id) {
                pendingIn_.erase(it);
                return;
            }
    }

    void Unplug() override {
        unplugged = true;
        pendingIn_.clear();
        for (auto& [id, event] : pendingControls_) harness::dispatcher::CancelScheduled(event);
        pendingControls_.clear();
    }

    std::string Describe() const override { return "fake USB device"; }

    // Completes the oldest IN transfer waiting on `endpoint` with `bytes`
    // (as many as the device sends; the bus decides what fits). Returns
    // false if none is waiting.
    bool Feed(uint8_t endpoint, std::vector<uint8_t> bytes, TransferStatus status = TransferStatus::Success) {
        for (auto it = pendingIn_.begin(); it != pendingIn_.end(); ++it) {
            if (it->transfer.endpoint != endpoint) continue;
            auto done = std::move(it->done);
            pendingIn_.erase(it);
            PipeResult result;
            result.status = status;
            result.transferred = static_cast<uint32_t>(bytes.size());
            result.data = std::move(bytes);
            done(result);
            return true;
        }
        return false;
    }

    size_t WaitingIn() const { return pendingIn_.size(); }

    // Keeps a callback of the oldest waiting IN transfer, as a faulty model
    // would that forgets to drop a cancelled transfer.
    std::function<void(PipeResult)> StealOldestIn() {
        if (pendingIn_.empty()) return {};
        auto done = pendingIn_.front().done;
        return done;
    }

private:
    struct InWaiting {
        PipeTransfer transfer;
        std::function<void(PipeResult)> done;
    };

    ControlResult Answer(const SetupPacket& setup, const std::vector<uint8_t>& dataOut) {
        if (override)
            if (auto answer = override(setup)) return *answer;
        ControlResult r;
        const uint8_t type = setup.requestType & 0x60;
        if (setup.requestType == 0x80 && setup.request == USB_REQUEST_GET_DESCRIPTOR) {
            const uint8_t kind = static_cast<uint8_t>(setup.value >> 8);
            if (kind == USB_DEVICE_DESCRIPTOR_TYPE)
                r.data = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x2B, 0x1A, 0x42, 0x00, 0x00, 0x03, 1, 2, 0, 1};
            else if (kind == USB_CONFIGURATION_DESCRIPTOR_TYPE)
                r.data = configuration_;
            else if (kind == USB_STRING_DESCRIPTOR_TYPE)
                r.data = {8, 3, 'T', 0, 'a', 0, 'r', 0};
            else
                r.status = TransferStatus::Stall;
            if (r.data.size() > setup.length) r.data.resize(setup.length);
        } else if (setup.requestType == 0x00 && setup.request == USB_REQUEST_SET_CONFIGURATION) {
            configurationValue = static_cast<uint8_t>(setup.value);
        } else if (type == 0x40) {
            if (setup.DeviceToHost()) {
                r.data = vendorReply ? *vendorReply
                         : !lastVendorData_.empty()
                             ? lastVendorData_
                             : std::vector<uint8_t>{static_cast<uint8_t>(setup.value), static_cast<uint8_t>(setup.value >> 8),
                                                    static_cast<uint8_t>(setup.index), static_cast<uint8_t>(setup.index >> 8)};
                if (r.data.size() > setup.length) r.data.resize(setup.length);
            } else {
                lastVendorData_ = dataOut;
            }
        } else if (type == 0x20) {
            if (setup.DeviceToHost()) r.data.assign(setup.length, 0x5A);
        } else if (setup.request == USB_REQUEST_GET_STATUS && setup.DeviceToHost()) {
            r.data = {0x01, 0x00};
        } else if (setup.requestType == 0x00 && setup.request == USB_REQUEST_SET_FEATURE) {
            // remote wake-up enabled
        } else if (setup.requestType == 0x02 && setup.request == USB_REQUEST_CLEAR_FEATURE) {
            // an endpoint's halt cleared
        } else {
            r.status = TransferStatus::Stall;
        }
        return r;
    }

    std::vector<uint8_t> configuration_;
    std::vector<uint8_t> lastVendorData_;
    std::map<uint64_t, harness::dispatcher::EventId> pendingControls_;
    std::deque<InWaiting> pendingIn_;
};

// One URB sent to the PDO in its own IRP.
struct Submission {
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_SUCCESS;  // what IoCallDriver returned
    bool done = false;
    NTSTATUS status = STATUS_SUCCESS;    // IoStatus.Status at completion
    KIRQL irql = PASSIVE_LEVEL;          // IRQL the completion ran at
    int64_t completedAt = -1;            // virtual time
};

inline NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* s = static_cast<Submission*>(context);
    s->done = true;
    s->status = irp->IoStatus.Status;
    s->irql = KeGetCurrentIrql();
    s->completedAt = harness::dispatcher::Now();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace usbtest

class UsbTest : public KernelTest {
protected:
    void TearDown() override {
        for (auto& s : submissions_)
            if (s.done) IoFreeIrp(s.irp);
        submissions_.clear();
        urbs_.clear();
        if (pdo_ != nullptr) harness::bus::DeletePhysicalDevice(pdo_);
        pdo_ = nullptr;
        KernelTest::TearDown();
    }

    PDEVICE_OBJECT Plug(std::vector<uint8_t> configuration = usbtest::SingleInterfaceConfiguration()) {
        device_ = std::make_shared<usbtest::FakeUsbDevice>(std::move(configuration));
        return PlugModel(device_);
    }
    // Plugs another device model (the bridge chip) instead of the fake one.
    PDEVICE_OBJECT PlugModel(std::shared_ptr<harness::usb::UsbDevice> model) {
        pdo_ = harness::bus::CreatePhysicalDevice(u"USB\\VID_1A2B&PID_0042\\1", {u"USB\\VID_1A2B&PID_0042"},
                                                  std::move(model));
        return pdo_;
    }

    // Sends `urb` down in a new IRP with the given internal control code.
    usbtest::Submission& Send(PVOID argument, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        submissions_.emplace_back();
        usbtest::Submission& s = submissions_.back();
        s.irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument;
        IoSetCompletionRoutine(s.irp, usbtest::RecordCompletion, &s, TRUE, TRUE, TRUE);
        s.returned = IoCallDriver(pdo_, s.irp);
        return s;
    }

    // Runs the machine until the submission completes, at most `limit`.
    bool Wait(const usbtest::Submission& s, int64_t limit = harness::dispatcher::kSecond) {
        return harness::dispatcher::RunUntil([&] { return s.done; }, harness::dispatcher::Now() + limit, "UsbTest::Wait");
    }

    // Sends and waits; expects the request to complete.
    usbtest::Submission& SendAndWait(PVOID argument) {
        usbtest::Submission& s = Send(argument);
        EXPECT_TRUE(Wait(s)) << "the URB did not complete";
        return s;
    }

    // Selects the device's configuration with the library's URB; returns
    // the URB (freed at the end of the test) so its pipes can be read.
    PURB SelectConfiguration(std::vector<uint8_t>& configuration) {
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (PVOID at = descriptor;;) {
            PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(descriptor, at, -1, -1, -1, -1, -1);
            if (found == nullptr) break;
            list.push_back({found, nullptr});
            at = reinterpret_cast<PUCHAR>(found) + found->bLength;
        }
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
        urbs_.emplace_back(urb, [](PURB u) { ExFreePool(u); });
        SendAndWait(urb);
        return urb;
    }

    // The n-th pipe of the interface that starts the URB's interface list
    // (interface 0) or follows it (interface 1).
    static PUSBD_INTERFACE_INFORMATION InterfaceOf(PURB urb, int index) {
        auto* info = &urb->UrbSelectConfiguration.Interface;
        for (int i = 0; i < index; ++i)
            info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
        return info;
    }

    static void BuildBulk(URB& urb, USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG flags) {
        std::memset(&urb, 0, sizeof urb);
        UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                               nullptr, length, flags, nullptr);
    }

    static void BuildVendor(URB& urb, USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index,
                            PVOID buffer, ULONG length) {
        std::memset(&urb, 0, sizeof urb);
        UsbBuildVendorRequest(&urb, function, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0,
                              request, value, index, buffer, nullptr, length, nullptr);
    }

    std::shared_ptr<usbtest::FakeUsbDevice> device_;
    PDEVICE_OBJECT pdo_ = nullptr;

private:
    std::deque<usbtest::Submission> submissions_;
    std::vector<std::unique_ptr<URB, void (*)(PURB)>> urbs_;
};
