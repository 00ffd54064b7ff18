#include "stream/stream_state.h"

#include "core/device.h"

namespace orb {

StreamState::StreamState(const std::string& ip, std::int32_t sourcePort) : deviceIp(ip), dataSourcePort(sourcePort) {}

StreamState::~StreamState() = default;

void StartDeviceThreads(DeviceRecord& dev) { dev.stream.running = true; }

void SignalDeviceThreadsStop(DeviceRecord& dev) {
    dev.stream.running = false;
    dev.stream.frameReady = false;
    dev.stream.dualEchoReady = false;
}

void WaitDeviceThreadsStopped(DeviceRecord&) {}

}  // namespace orb
