// Point-cloud part of the device record: queues, frame buffers, flags,
// processing mode, callbacks and the host filter settings.
// (Owned by the stream subsystem; filled in with the reception code.)
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "filters/filter_settings.h"
#include "orb_sdk.h"

namespace orb {

struct DeviceRecord;

struct StreamState {
    StreamState(const std::string& ip, std::int32_t sourcePort);
    ~StreamState();

    std::atomic<bool> running{false};
    std::string deviceIp;
    std::atomic<std::int32_t> dataSourcePort;
    std::atomic<std::uint8_t> processingMode{3};
    std::mutex streamMutex;  // frame buffers, ready flags, both callbacks
    std::atomic<bool> frameReady{false};
    std::atomic<bool> dualEchoReady{false};
    std::atomic<std::int32_t> axisSign{1};
    std::atomic<bool> inverted{false};
    ZelOrbFrameCallback frameCallback = nullptr;      // under streamMutex
    ZelOrb6AxisImuCallback sixAxisCallback = nullptr;  // under streamMutex
    FilterSettings filters;
};

// Starts the packet and frame threads of a new record (running flag set).
void StartDeviceThreads(DeviceRecord& dev);
// Clears the running flag and ready flags (called under the exclusive registry lock).
void SignalDeviceThreadsStop(DeviceRecord& dev);
// Waits (without any lock) until both threads have ended.
void WaitDeviceThreadsStopped(DeviceRecord& dev);

}  // namespace orb
