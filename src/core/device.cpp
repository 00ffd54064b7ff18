#include "core/device.h"

namespace orb {

DeviceRecord::DeviceRecord(const std::string& deviceIp, std::int32_t dataSourcePort)
    : ip(deviceIp), stream(deviceIp, dataSourcePort) {}

DeviceRecord::~DeviceRecord() = default;

}  // namespace orb
