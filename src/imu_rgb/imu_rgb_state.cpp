#include "imu_rgb/imu_rgb_state.h"

#include <thread>

#include "imu_rgb/rgb_stream.h"
#include "platform/thread.h"

namespace orb {

bool stopStreamThread(ThreadFlags& flags, std::chrono::milliseconds limit) {
    flags.run.store(false);
    const auto start = std::chrono::steady_clock::now();
    if (flags.exit.load()) return true;
    for (;;) {
        if (std::chrono::steady_clock::now() - start >= limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (flags.exit.load()) return true;
    }
}

std::shared_ptr<ThreadFlags> launchStreamThread(std::function<void(const std::shared_ptr<ThreadFlags>&)> body) {
    auto flags = std::make_shared<ThreadFlags>();
    flags->run.store(true);
    flags->exit.store(false);
    if (!platform::launchDetached([body = std::move(body), flags] { body(flags); })) return nullptr;
    return flags;
}

std::size_t receiveOrPause(const StreamSocket& source, std::vector<std::uint8_t>& buf) {
    net::Endpoint from;
    const int n = net::recvFrom(source.sock, buf.data(), buf.size(), &from);
    if (n > 0) {
        source.recorder->capture(from, source.local, buf.data(), static_cast<std::size_t>(n));
        return static_cast<std::size_t>(n);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

ImuRgbState::ImuRgbState(const std::string& deviceIp, record::Recorder& recorderOfProcess)
    : imuFlags(std::make_shared<ThreadFlags>()),
      rgbRecvFlags(std::make_shared<ThreadFlags>()),
      rgbProcFlags(std::make_shared<ThreadFlags>()),
      gate(std::make_shared<OwnerGate>(deviceIp)),
      imu(std::make_shared<ImuShared>()),
      rgb(std::make_shared<RgbShared>()),
      recorder(recorderOfProcess) {}

ImuRgbState::~ImuRgbState() { stopAll(); }

bool ImuRgbState::stopAll() {
    std::lock_guard<std::mutex> lk(controlMutex);
    // Ask all three at once so their wind-downs overlap.
    imuFlags->run.store(false);
    rgbRecvFlags->run.store(false);
    rgbProcFlags->run.store(false);
    {
        std::lock_guard<std::mutex> g(gate->mutex);
        gate->ctrl = nullptr;
    }
    bool ok = stopStreamThread(*imuFlags);
    ok = stopStreamThread(*rgbRecvFlags) && ok;
    ok = stopStreamThread(*rgbProcFlags) && ok;
    return ok;
}

RunningStreams ImuRgbState::pauseForNewSockets() {
    RunningStreams running;
    {
        std::lock_guard<std::mutex> lk(controlMutex);
        running.imu = imuFlags->run.load();
        running.rgb = rgbRecvFlags->run.load();
    }
    stopAll();
    return running;
}

void ImuRgbState::resumeOnNewSockets(RunningStreams running, const ControlEndpoint& ctrl) {
    if (running.imu) startImuStream(*this, ctrl);
    if (running.rgb) startRgbStream(*this, ctrl);
}

void openGate(ImuRgbState& st, const ControlEndpoint& ctrl) {
    std::lock_guard<std::mutex> g(st.gate->mutex);
    st.gate->ctrl = &ctrl;
}

}  // namespace orb
