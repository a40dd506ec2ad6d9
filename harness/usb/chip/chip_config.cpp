// Chip configurations for each generation, configuration-memory images and
// request matching for faults.
#include "harness/usb/chip/chip_config.h"

namespace harness::chip {

namespace {

// Manufacturer strings: only the generation-4 one has a space at code unit 24.
const char16_t kMakerPlain[] = u"Brindel Microsystems Corporation";
const char16_t kMakerWithSpaceAt24[] = u"Brindel Microsystems Ltd (Tarn)";
// Product strings: only the generation-3 one has 'C' at code unit 22.
const char16_t kProductGen0[] = u"BR-20 USB CDC Serial Port";
const char16_t kProductGen1[] = u"BR-21 USB-Serial Bridge";
const char16_t kProductRevA[] = u"BR-24 USB-Serial Rev. A";
const char16_t kProductRevC[] = u"BR-24 USB-Serial Rev. C";
const char16_t kProductRevS[] = u"BR-24 USB-Serial Rev. S";

}  // namespace

bool RequestMatch::Matches(const usb::SetupPacket& s) const {
    return (!requestType || *requestType == s.requestType) && (!type || *type == (s.requestType & 0x60)) &&
           (!request || *request == s.request) && (!value || *value == s.value) && (!index || *index == s.index);
}

namespace {

RequestMatch OfType(uint8_t type, uint8_t request) {
    RequestMatch m;
    m.type = type;
    m.request = request;
    return m;
}

}  // namespace

RequestMatch RequestMatch::Vendor(uint16_t value) {
    RequestMatch m = OfType(0x40, 0x01);
    m.value = value;
    return m;
}

RequestMatch RequestMatch::Class(uint8_t request) { return OfType(0x20, request); }

RequestMatch RequestMatch::Standard(uint8_t request) { return OfType(0x00, request); }

std::vector<uint8_t> BlankEeprom(size_t size) { return std::vector<uint8_t>(size, 0xFF); }

void PutEepromMarker(std::vector<uint8_t>& image, size_t address) {
    if (address + 1 >= image.size()) return;
    image[address] = 0x3C;
    image[address + 1] = 0x5A;
}

ChipConfig ChipConfig::ForGeneration(int generation) {
    return ForGeneration(generation, generation == 0 ? Layout::TwoInterfaces : Layout::OneInterface);
}

ChipConfig ChipConfig::ForGeneration(int generation, Layout layout) {
    ChipConfig c;
    c.generation = generation < 0 ? 0 : generation > 4 ? 4 : generation;
    c.layout = layout;
    c.bcdDevice = static_cast<uint16_t>((c.generation + 1) << 8);
    c.manufacturer = kMakerPlain;
    c.serialNumber = u"TL" + std::u16string(1, static_cast<char16_t>(u'0' + c.generation)) + u"000417";
    switch (c.generation) {
        case 0:
            c.bcdUsb = 0x0110;
            c.deviceClass = 0x02;
            c.maxPacketSize0 = 64;
            c.product = kProductGen0;
            break;
        case 1:
            c.bcdUsb = 0x0110;
            c.deviceClass = 0x00;
            c.maxPacketSize0 = 8;
            c.product = kProductGen1;
            break;
        case 2:
            c.product = kProductRevA;
            break;
        case 3:
            c.product = kProductRevC;
            break;
        default:
            c.product = kProductRevS;
            c.manufacturer = kMakerWithSpaceAt24;
            c.controlRegisters[1] = 0x30;
            break;
    }
    return c;
}

ChipConfig ChipConfig::VendorClassGeneration1() {
    ChipConfig c = ForGeneration(1);
    c.deviceClass = 0xFF;
    return c;
}

ChipConfig ChipConfig::UnknownMiscClass() {
    ChipConfig c = ForGeneration(1);
    c.deviceClass = 0xEF;
    c.deviceSubClass = 0x02;
    c.deviceProtocol = 0x01;
    c.maxPacketSize0 = 8;
    return c;
}

ChipConfig ChipConfig::Generation3ShortProduct() {
    ChipConfig c = ForGeneration(3);
    c.product = u"BR-24C Serial";
    return c;
}

ChipConfig& ChipConfig::WithEepromMarkers(std::initializer_list<size_t> addresses) {
    for (size_t a : addresses) PutEepromMarker(eeprom, a);
    return *this;
}

}  // namespace harness::chip
