// Per-device IMU and RGB reception state, part of the control endpoint.
//
// Everything a stream thread touches lives in shared blocks that the thread
// itself co-owns, so a thread that outlives the endpoint (a callback that
// blocks past the 2 s stop limit) never runs on freed memory. The endpoint
// itself is reached only through the owner gate, which teardown closes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "orb_sdk.h"

namespace orb {

struct DeviceRecord;
struct RgbShared;  // rgb_stream.h

// Run and exit flags of one stream thread. Each started thread gets its own
// pair, so a thread that did not stop in time never picks up the run flag of
// its successor.
struct ThreadFlags {
    std::atomic<bool> run{false};
    std::atomic<bool> exit{true};
};

constexpr std::chrono::milliseconds kStreamStopLimit{2000};

// Clears the run flag and waits (50 ms steps) for the exit flag; true when
// the thread has ended, false when limit passed first.
bool StopStreamThread(ThreadFlags& flags, std::chrono::milliseconds limit = kStreamStopLimit);

// Lets stream threads reach their device record only while it exists.
struct OwnerGate {
    std::mutex mutex;
    const DeviceRecord* dev = nullptr;  // null before the first start and after teardown
    const DeviceRecord* get() {
        std::lock_guard<std::mutex> lk(mutex);
        return dev;
    }
};

struct ImuShared {
    std::mutex mutex;  // latest, callback, newSample transitions
    std::condition_variable cv;
    std::atomic<bool> newSample{false};
    ZelOrb9AxisImuData latest{};
    ZelOrb9AxisImuCallback callback = nullptr;
};

class ImuRgbState {
public:
    ImuRgbState();
    ~ImuRgbState();  // stopAll(), then the shared blocks go with their last thread
    ImuRgbState(const ImuRgbState&) = delete;
    ImuRgbState& operator=(const ImuRgbState&) = delete;

    // Asks every stream thread to stop, closes the owner gate and waits up to
    // 2 s per thread. Idempotent. True when all threads have ended.
    bool stopAll();

    std::mutex controlMutex;  // serialises start/stop; guards the flag pointers below
    std::shared_ptr<ThreadFlags> imuFlags;
    std::shared_ptr<ThreadFlags> rgbRecvFlags;
    std::shared_ptr<ThreadFlags> rgbProcFlags;

    const std::shared_ptr<OwnerGate> gate;
    const std::shared_ptr<ImuShared> imu;
    const std::shared_ptr<RgbShared> rgb;
};

// Start the device's nine-axis / RGB threads on its current sockets
// (stopping running ones first): RC_OK or RC_IMU_START_FAILED /
// RC_RGB_START_FAILED. Caller holds the registry lock.
std::int32_t StartImuStream(DeviceRecord& dev);
std::int32_t StartRgbStream(DeviceRecord& dev);

// For a connection setup that replaces the data and IMU sockets of a known
// device: stop the stream threads before the old sockets close (they would
// otherwise keep reading a closed descriptor whose number may be reused),
// then start again those that were running, on the new sockets. Caller holds
// the registry lock exclusively.
struct RunningStreams {
    bool imu = false;
    bool rgb = false;
};
RunningStreams PauseStreamsForNewSockets(DeviceRecord& dev);
void ResumeStreamsOnNewSockets(DeviceRecord& dev, RunningStreams running);

// Starts f on a detached thread; false when the platform refuses the thread.
bool LaunchDetached(std::function<void()> f);

namespace testhooks {
// The next n LaunchDetached calls fail as if the platform had no threads left.
void FailNextThreadLaunches(int n);
}  // namespace testhooks

// True while the calling thread runs the nine-axis (or RGB) callback of the
// device whose IP is ip.
bool InOwnImuCallback(const char* ip);
bool InOwnRgbCallback(const char* ip);

// Marks the calling thread as running a nine-axis / RGB callback of dev.
class StreamCallbackMark {
public:
    enum Kind { Imu, Rgb };
    StreamCallbackMark(Kind kind, const DeviceRecord* dev);
    ~StreamCallbackMark();
    StreamCallbackMark(const StreamCallbackMark&) = delete;
    StreamCallbackMark& operator=(const StreamCallbackMark&) = delete;

private:
    Kind kind_;
    const DeviceRecord* previous_;
};

}  // namespace orb
