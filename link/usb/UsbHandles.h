// The handles a converter driver hands out for the devices it holds open:
// small non-zero numbers, counted up so that a closed one is not soon given
// again, each naming one device (the library's pointer, a descriptor).
#pragma once

#include "link/usb/UsbDriver.h"

#include <map>
#include <optional>

namespace fw {

template <typename Device> class UsbHandles {
public:
    // A new handle for `device`.
    FtHandle Add(Device device) {
        while (next_ == 0 || devices_.count(next_) != 0)
            ++next_;
        const FtHandle handle = next_++;
        devices_[handle] = device;
        return handle;
    }

    // The device `handle` names; nullopt for 0, a closed or an unknown handle.
    std::optional<Device> Find(FtHandle handle) const {
        const auto it = devices_.find(handle);
        if (it == devices_.end())
            return std::nullopt;
        return it->second;
    }

    // Forgets `handle` and hands back its device; nullopt as for Find.
    std::optional<Device> Take(FtHandle handle) {
        std::optional<Device> device = Find(handle);
        devices_.erase(handle);
        return device;
    }

    // The devices still open, for a driver that goes.
    const std::map<FtHandle, Device>& Open() const { return devices_; }

private:
    std::map<FtHandle, Device> devices_;
    FtHandle next_ = 1;
};

} // namespace fw
