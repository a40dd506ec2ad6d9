// Loading an image step by step (driver_image.h), and the list of loaded
// images that the fault handler and the harness's reports consult.
#include "harness/loader/driver_image.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "harness/loader/loader_internal.h"

namespace harness::loader {

namespace {

// Read from the fault handler, so a fixed array of atomics rather than a
// container that may be reallocated under it.
std::array<std::atomic<const DriverImage*>, 16> g_images{};

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DefaultMapPath(const std::string& path) {
    const auto dot = path.find_last_of('.');
    return (dot == std::string::npos ? path : path.substr(0, dot)) + ".map";
}

}  // namespace

void RegisterImage(const DriverImage* image) {
    for (auto& slot : g_images) {
        const DriverImage* empty = nullptr;
        if (slot.compare_exchange_strong(empty, image)) return;
    }
    std::fprintf(stderr, "harness: more than %zu driver images loaded at once\n", g_images.size());
    std::abort();
}

void UnregisterImage(const DriverImage* image) {
    for (auto& slot : g_images) {
        const DriverImage* expected = image;
        if (slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

const DriverImage* FindImage(const void* address) {
    for (auto& slot : g_images) {
        const DriverImage* image = slot.load();
        if (image != nullptr && image->Contains(address)) return image;
    }
    return nullptr;
}

DriverImage::~DriverImage() {
    UnregisterImage(this);
    UnmapImage(base_, mappedSize_);
}

bool DriverImage::Contains(const void* address) const {
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    return a >= Base() && a < Base() + size_;
}

bool DriverImage::InCode(const void* address) const {
    if (!Contains(address)) return false;
    const std::uint32_t rva = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) - Base());
    for (const ImageSection& s : sections_)
        if ((s.characteristics & pe::kSectionExecute) && rva >= s.rva && rva < s.rva + s.size) return true;
    return false;
}

PDRIVER_INITIALIZE DriverImage::Entry() const {
    return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_);
}

std::string DriverImage::Describe(const void* address) const {
    const std::uint32_t rva = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) - Base());
    const std::string symbol = map_.Describe(rva);
    if (!symbol.empty()) return name_ + "!" + symbol;
    char offset[24];
    std::snprintf(offset, sizeof offset, "+0x%x", rva);
    return name_ + offset;
}

void* DriverImage::Symbol(std::string_view name) const {
    const auto rva = map_.Find(name);
    return rva ? base_ + *rva : nullptr;
}

LoadResult LoadDriverImage(const std::string& path, std::string mapPath) {
    LoadResult result;
    const std::string name = BaseName(path);
    auto refuse = [&](const std::string& why) {
        result.image.reset();
        result.error = name + ": " + why;
        return std::move(result);
    };
    PeFile pe;
    if (std::string error = ReadPeFile(path, pe); !error.empty()) return refuse(error);
    Mapping mapping;
    if (std::string error = MapImage(pe, mapping); !error.empty()) return refuse(error);
    // From here the image owns the mapping and unmaps it on any refusal.
    result.image.reset(new DriverImage());
    DriverImage& image = *result.image;
    image.name_ = name;
    image.base_ = mapping.base;
    image.size_ = mapping.size;
    image.mappedSize_ = mapping.mappedSize;
    image.preferredBase_ = pe.optional.imageBase;
    image.entryRva_ = pe.optional.addressOfEntryPoint;
    for (const pe::SectionHeader& s : pe.sections)
        image.sections_.push_back({std::string(s.name, strnlen(s.name, sizeof s.name)), s.virtualAddress,
                                   s.virtualSize != 0 ? s.virtualSize : s.sizeOfRawData, s.characteristics});
    if (std::string error = ApplyRelocations(pe, mapping); !error.empty()) return refuse(error);
    if (std::string error = BindImports(pe, mapping, image.imports_); !error.empty()) return refuse(error);
    if (std::string error = ProtectSections(pe, mapping); !error.empty()) return refuse(error);
    const std::string mapFile = mapPath.empty() ? DefaultMapPath(path) : mapPath;
    image.map_ = LinkerMap::Read(mapFile, pe.optional.imageBase, pe.optional.sizeOfImage);
    // A map left from another build of the image would name the wrong
    // addresses: reports would blame the wrong routines and a test reading
    // a driver global through it would read other memory. Each section the
    // map lists under the image's name for it must lie where the image has
    // it, with the image's size in memory or in the file.
    for (const pe::SectionHeader& s : pe.sections) {
        const std::string sectionName = pe::SectionName(s);
        const auto listed = image.map_.Sections().find(sectionName);
        if (listed == image.map_.Sections().end()) continue;
        const LinkerMap::Section& m = listed->second;
        if (m.address != pe.optional.imageBase + s.virtualAddress ||
            (m.size != s.virtualSize && m.size != s.sizeOfRawData)) {
            char detail[160];
            std::snprintf(detail, sizeof detail,
                          " (section %s: RVA 0x%x, 0x%x bytes in the image; 0x%llx, 0x%llx bytes in the map)",
                          sectionName.c_str(), s.virtualAddress, s.virtualSize,
                          static_cast<unsigned long long>(m.address - pe.optional.imageBase),
                          static_cast<unsigned long long>(m.size));
            return refuse("the linker map " + BaseName(mapFile) + " is not this image's" + detail);
        }
    }
    InstallPrivilegedInstructionHandler();
    RegisterImage(&image);
    return result;
}

std::string DescribeImageAddress(const void* address) {
    const DriverImage* image = FindImage(address);
    return image == nullptr ? std::string() : image->Describe(address);
}

std::vector<std::string> ImageFramesOnStack(std::size_t limit) {
    std::vector<std::string> frames;
    bool any = false;
    for (auto& slot : g_images) any = any || slot.load() != nullptr;
    if (!any) return frames;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return frames;
    void* stackLow = nullptr;
    std::size_t stackSize = 0;
    pthread_attr_getstack(&attributes, &stackLow, &stackSize);
    pthread_attr_destroy(&attributes);
    const auto top = reinterpret_cast<std::uintptr_t>(stackLow) + stackSize;
    const auto* word = reinterpret_cast<const std::uintptr_t*>(__builtin_frame_address(0));
    for (; reinterpret_cast<std::uintptr_t>(word + 1) <= top && frames.size() < limit; ++word) {
        const auto* candidate = reinterpret_cast<const void*>(*word);
        const DriverImage* image = FindImage(candidate);
        if (image != nullptr && image->InCode(candidate)) frames.push_back(image->Describe(candidate));
    }
    return frames;
}

}  // namespace harness::loader
