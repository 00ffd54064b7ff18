// Device registry: IP text -> device record, under one reader/writer lock
// (exclusive for connect, disconnect and the calls that say so; shared for
// every other device-scoped call and for each routed datagram). Per-device
// threads never take it.
#pragma once

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "stream/reception.h"

namespace orb {

struct DeviceRecord;

class Registry final : public StreamDirectory {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    std::shared_mutex& mutex() override { return mutex_; }

    // All below: caller holds mutex() (shared or exclusive as it needs).
    DeviceRecord* find(const char* ip);
    DeviceRecord* find(const std::string& ip);
    StreamState* findStream(const std::string& ip) override;
    std::map<std::string, std::unique_ptr<DeviceRecord>>& devices() { return devices_; }
    // Removes the record from the registry and hands it over (exclusive).
    std::unique_ptr<DeviceRecord> take(const std::string& ip);
    std::vector<std::string> ips() const;
    const std::string& hostIp() const { return hostIp_; }
    void setHostIp(const std::string& ip) { hostIp_ = ip; }  // exclusive

private:
    std::shared_mutex mutex_;
    std::map<std::string, std::unique_ptr<DeviceRecord>> devices_;
    std::string hostIp_ = "0.0.0.0";
};

}  // namespace orb
