// The driver a machine runs, behind one interface: the host build linked
// into this program (its DriverEntry), or a shipped Windows image mapped
// from its file. Tests, the demo and the Win32 library's machine load the
// driver through it, so that each can run either.
//
//   std::string error;
//   DriverCode code = DriverCode::FromImage("build/win64/tarnlink64.sys", &error);
//   auto driver = code.Load(u"tarnlink");
//   auto* globals = code.Global("driverGlobals", &driverGlobals);
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "harness/kernel/pnp_manager.h"
#include "harness/loader/driver_image.h"

namespace harness::loader {

class DriverCode {
public:
    DriverCode() = default;
    static DriverCode HostBuild(PDRIVER_INITIALIZE entry);
    // Maps the image (and reads its linker map beside it). On failure the
    // result is empty and `error` says why, naming the file.
    static DriverCode FromImage(const std::string& path, std::string* error);

    bool Valid() const { return entry_ != nullptr; }
    bool IsImage() const { return image_ != nullptr; }
    const DriverImage* Image() const { return image_.get(); }
    PDRIVER_INITIALIZE Entry() const { return entry_; }
    // "host build" or "tarnlink64.sys (the Windows image)".
    std::string Describe() const;

    // Loads the driver as the kernel does (pnp::LoadDriver), with the
    // driver object's DriverStart and DriverSize naming the image and the
    // image kept mapped while the driver is loaded.
    std::shared_ptr<pnp::Driver> Load(std::u16string serviceName) const;

    // The driver's global variable `name`: the image's own copy, found
    // through its linker map, or `hostAddress` for the host build. Null if
    // the image's map does not name it.
    template <class T>
    T* Global(std::string_view name, T* hostAddress) const {
        return image_ ? static_cast<T*>(image_->Symbol(name)) : hostAddress;
    }

private:
    PDRIVER_INITIALIZE entry_ = nullptr;
    std::shared_ptr<DriverImage> image_;
};

}  // namespace harness::loader
