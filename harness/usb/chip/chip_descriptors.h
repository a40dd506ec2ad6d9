// The chip's USB descriptors, built from its configuration.
//
// Configuration 1 (the only one), bmAttributes 0x80 | self-powered 0x40 |
// remote wakeup 0x20, strings 1 manufacturer, 2 product, 3 serial number.
//   One interface:  interface 0 (class from singleInterface, vendor 0xFF by
//                   default) with interrupt-in, bulk-out, bulk-in in that order.
//   Two interfaces: interface 0 (communication, 0x02/0x02/0x01) with the CDC
//                   header, call-management, ACM and union functional
//                   descriptors and the interrupt-in endpoint; interface 1
//                   (data, 0x0A/0x00/0x00) with bulk-out then bulk-in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "harness/usb/chip/chip_config.h"

namespace harness::chip {

enum : uint8_t {
    kDescriptorDevice = 1,
    kDescriptorConfiguration = 2,
    kDescriptorString = 3,
    kDescriptorInterface = 4,
    kDescriptorEndpoint = 5,
    kDescriptorCsInterface = 0x24,
};

std::vector<uint8_t> DeviceDescriptor(const ChipConfig& config);
std::vector<uint8_t> ConfigurationDescriptor(const ChipConfig& config);
// String 0 is the language list (0x0409); 1 to 3 as above. Nothing for an
// index the chip does not have.
std::optional<std::vector<uint8_t>> StringDescriptor(const ChipConfig& config, uint8_t index);
// bLength, bDescriptorType 3, UTF-16LE code units (at most 126).
std::vector<uint8_t> EncodeString(const std::u16string& text);

}  // namespace harness::chip
