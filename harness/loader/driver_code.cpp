#include "harness/loader/driver_code.h"

namespace harness::loader {

DriverCode DriverCode::HostBuild(PDRIVER_INITIALIZE entry) {
    DriverCode code;
    code.entry_ = entry;
    return code;
}

DriverCode DriverCode::FromImage(const std::string& path, std::string* error) {
    LoadResult loaded = LoadDriverImage(path);
    DriverCode code;
    if (!loaded.image) {
        if (error) *error = loaded.error;
        return code;
    }
    code.image_ = std::move(loaded.image);
    code.entry_ = code.image_->Entry();
    return code;
}

std::string DriverCode::Describe() const {
    return image_ ? image_->Name() + " (the Windows image)" : std::string("host build");
}

std::shared_ptr<pnp::Driver> DriverCode::Load(std::u16string serviceName) const {
    pnp::DriverCodeRange range;
    if (image_) {
        range.start = reinterpret_cast<PVOID>(image_->Base());
        range.size = static_cast<ULONG>(image_->Size());
        range.keepMapped = image_;
    }
    return pnp::LoadDriver(std::move(serviceName), entry_, range);
}

}  // namespace harness::loader
