#include "device/device.h"

#include "device/context.h"

namespace orb {

DeviceRecord::DeviceRecord(const std::string& deviceIp, std::int32_t dataSourcePort)
    : ip(deviceIp),
      stream(deviceIp, dataSourcePort),
      ctrl(libraryContext().control),
      imuRgb(deviceIp, libraryContext().recorder) {
    // Set once: concurrent exchanges read it while a reconnection runs.
    ctrl.deviceControl = net::makeEndpoint(deviceIp.c_str(), kCommandPort);
}

DeviceRecord::~DeviceRecord() = default;

}  // namespace orb
