#include "core/registry.h"

#include "core/device.h"

namespace orb {

Registry& Registry::get() {
    static Registry instance;  // thread-safe first use
    return instance;
}

DeviceRecord* Registry::find(const char* ip) {
    if (!ip) return nullptr;
    return find(std::string(ip));
}

DeviceRecord* Registry::find(const std::string& ip) {
    auto it = devices_.find(ip);
    return it == devices_.end() ? nullptr : it->second.get();
}

}  // namespace orb
