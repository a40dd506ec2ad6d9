// Device, configuration and string descriptors of the chip.
#include "harness/usb/chip/chip_descriptors.h"

namespace harness::chip {

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutInterface(std::vector<uint8_t>& out, uint8_t number, uint8_t endpoints, const InterfaceClass& c,
                  uint8_t stringIndex) {
    out.insert(out.end(), {9, kDescriptorInterface, number, 0, endpoints, c.cls, c.subClass, c.protocol, stringIndex});
}

void PutEndpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t attributes, uint16_t maxPacket,
                 uint8_t interval) {
    out.insert(out.end(), {7, kDescriptorEndpoint, address, attributes});
    Put16(out, maxPacket);
    out.push_back(interval);
}

void PutCdcFunctional(std::vector<uint8_t>& out) {
    out.insert(out.end(), {5, kDescriptorCsInterface, 0x00, 0x10, 0x01});  // header, CDC 1.10
    out.insert(out.end(), {5, kDescriptorCsInterface, 0x01, 0x00, 0x01});  // call management, data interface 1
    out.insert(out.end(), {4, kDescriptorCsInterface, 0x02, 0x06});        // ACM: line coding/state, break
    out.insert(out.end(), {5, kDescriptorCsInterface, 0x06, 0x00, 0x01});  // union: master 0, slave 1
}

constexpr uint8_t kInterrupt = 0x03;
constexpr uint8_t kBulk = 0x02;

}  // namespace

std::vector<uint8_t> DeviceDescriptor(const ChipConfig& c) {
    std::vector<uint8_t> d{18, kDescriptorDevice};
    Put16(d, c.bcdUsb);
    d.insert(d.end(), {c.deviceClass, c.deviceSubClass, c.deviceProtocol, c.maxPacketSize0});
    Put16(d, c.vendorId);
    Put16(d, c.productId);
    Put16(d, c.bcdDevice);
    d.insert(d.end(), {1, 2, static_cast<uint8_t>(c.serialNumber.empty() ? 0 : 3), 1});
    return d;
}

std::vector<uint8_t> ConfigurationDescriptor(const ChipConfig& c) {
    const bool two = c.layout == Layout::TwoInterfaces;
    const uint8_t attributes =
        static_cast<uint8_t>(0x80 | (c.selfPowered ? 0x40 : 0) | (c.remoteWakeupCapable ? 0x20 : 0));
    std::vector<uint8_t> d{9, kDescriptorConfiguration, 0, 0, static_cast<uint8_t>(two ? 2 : 1), 1, 0, attributes,
                           c.maxPower};
    if (!two) {
        PutInterface(d, 0, 3, c.singleInterface, 0);
        PutEndpoint(d, c.endpoints.statusIn, kInterrupt, c.statusMaxPacket, c.statusInterval);
        PutEndpoint(d, c.endpoints.bulkOut, kBulk, c.bulkMaxPacket, 0);
        PutEndpoint(d, c.endpoints.bulkIn, kBulk, c.bulkMaxPacket, 0);
    } else {
        PutInterface(d, 0, 1, c.commInterface, 0);
        if (c.cdcFunctionalDescriptors) PutCdcFunctional(d);
        PutEndpoint(d, c.endpoints.statusIn, kInterrupt, c.statusMaxPacket, c.statusInterval);
        PutInterface(d, 1, 2, c.dataInterface, 0);
        PutEndpoint(d, c.endpoints.bulkOut, kBulk, c.bulkMaxPacket, 0);
        PutEndpoint(d, c.endpoints.bulkIn, kBulk, c.bulkMaxPacket, 0);
    }
    d[2] = static_cast<uint8_t>(d.size());
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
}

std::vector<uint8_t> EncodeString(const std::u16string& text) {
    const size_t units = text.size() < 126 ? text.size() : 126;
    std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * units), kDescriptorString};
    for (size_t i = 0; i < units; ++i) Put16(d, static_cast<uint16_t>(text[i]));
    return d;
}

std::optional<std::vector<uint8_t>> StringDescriptor(const ChipConfig& c, uint8_t index) {
    switch (index) {
        case 0: return std::vector<uint8_t>{4, kDescriptorString, 0x09, 0x04};
        case 1: return EncodeString(c.manufacturer);
        case 2: return EncodeString(c.product);
        case 3:
            if (c.serialNumber.empty()) return std::nullopt;
            return EncodeString(c.serialNumber);
        default: return std::nullopt;
    }
}

}  // namespace harness::chip
