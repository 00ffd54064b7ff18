#include "device/device.h"

#include "device/context.h"

namespace orb {

DeviceRecord::DeviceRecord(const std::string& deviceIp, std::int32_t dataSourcePort)
    : ip(deviceIp),
      stream(deviceIp, dataSourcePort),
      ctrl(libraryContext().control),
      imuRgb(deviceIp, libraryContext().recorder) {}

DeviceRecord::~DeviceRecord() = default;

}  // namespace orb
