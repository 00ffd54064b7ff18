#include "imu_rgb/imu_rgb_state.h"

#include <cstring>
#include <system_error>
#include <thread>

#include "core/device.h"
#include "imu_rgb/rgb_stream.h"

namespace orb {

bool StopStreamThread(ThreadFlags& flags, std::chrono::milliseconds limit) {
    flags.run.store(false);
    const auto start = std::chrono::steady_clock::now();
    if (flags.exit.load()) return true;
    for (;;) {
        if (std::chrono::steady_clock::now() - start >= limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (flags.exit.load()) return true;
    }
}

ImuRgbState::ImuRgbState()
    : imuFlags(std::make_shared<ThreadFlags>()),
      rgbRecvFlags(std::make_shared<ThreadFlags>()),
      rgbProcFlags(std::make_shared<ThreadFlags>()),
      gate(std::make_shared<OwnerGate>()),
      imu(std::make_shared<ImuShared>()),
      rgb(std::make_shared<RgbShared>()) {}

ImuRgbState::~ImuRgbState() { stopAll(); }

bool ImuRgbState::stopAll() {
    std::lock_guard<std::mutex> lk(controlMutex);
    // Ask all three at once so their wind-downs overlap.
    imuFlags->run.store(false);
    rgbRecvFlags->run.store(false);
    rgbProcFlags->run.store(false);
    {
        std::lock_guard<std::mutex> g(gate->mutex);
        gate->dev = nullptr;
    }
    bool ok = StopStreamThread(*imuFlags);
    ok = StopStreamThread(*rgbRecvFlags) && ok;
    ok = StopStreamThread(*rgbProcFlags) && ok;
    return ok;
}

RunningStreams PauseStreamsForNewSockets(DeviceRecord& dev) {
    ImuRgbState& st = dev.ctrl.imuRgb;
    RunningStreams running;
    {
        std::lock_guard<std::mutex> lk(st.controlMutex);
        running.imu = st.imuFlags->run.load();
        running.rgb = st.rgbRecvFlags->run.load();
    }
    st.stopAll();
    return running;
}

void ResumeStreamsOnNewSockets(DeviceRecord& dev, RunningStreams running) {
    if (running.imu) StartImuStream(dev);
    if (running.rgb) StartRgbStream(dev);
}

namespace {
std::atomic<int> gFailLaunches{0};

thread_local const DeviceRecord* tlImuCallbackDev = nullptr;
thread_local const DeviceRecord* tlRgbCallbackDev = nullptr;

bool sameIp(const DeviceRecord* dev, const char* ip) { return ip && dev && dev->ip == ip; }
}  // namespace

bool LaunchDetached(std::function<void()> f) {
    int pending = gFailLaunches.load();
    while (pending > 0 && !gFailLaunches.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending > 0) return false;
    try {
        std::thread(std::move(f)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

namespace testhooks {
void FailNextThreadLaunches(int n) { gFailLaunches.store(n); }
}  // namespace testhooks

bool InOwnImuCallback(const char* ip) { return sameIp(tlImuCallbackDev, ip); }
bool InOwnRgbCallback(const char* ip) { return sameIp(tlRgbCallbackDev, ip); }

StreamCallbackMark::StreamCallbackMark(Kind kind, const DeviceRecord* dev)
    : kind_(kind), previous_(kind == Imu ? tlImuCallbackDev : tlRgbCallbackDev) {
    (kind == Imu ? tlImuCallbackDev : tlRgbCallbackDev) = dev;
}

StreamCallbackMark::~StreamCallbackMark() { (kind_ == Imu ? tlImuCallbackDev : tlRgbCallbackDev) = previous_; }

}  // namespace orb
