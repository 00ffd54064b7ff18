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

std::size_t receiveOrWait(const StreamSocket& source, std::vector<std::uint8_t>& buf) {
    const auto start = std::chrono::steady_clock::now();
    if (net::waitReadable(source.sock, static_cast<int>(kStreamIdleWait.count()))) {
        net::Endpoint from;
        const int n = net::recvFrom(source.sock, buf.data(), buf.size(), &from);
        if (n > 0) {
            source.recorder->capture(from, source.local, buf.data(), static_cast<std::size_t>(n));
            return static_cast<std::size_t>(n);
        }
    }
    // Returned early without a datagram (no socket, or an error): pause.
    if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1))
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

namespace {

// Caller holds st.controlMutex.
bool stopAllLocked(ImuRgbState& st) {
    // Ask all three at once so their wind-downs overlap.
    st.imuFlags->run.store(false);
    st.rgbRecvFlags->run.store(false);
    st.rgbProcFlags->run.store(false);
    wakeRgbProcessing(*st.rgb);
    {
        std::lock_guard<std::mutex> g(st.gate->mutex);
        st.gate->ctrl = nullptr;
    }
    bool ok = stopStreamThread(*st.imuFlags);
    ok = stopStreamThread(*st.rgbRecvFlags) && ok;
    ok = stopStreamThread(*st.rgbProcFlags) && ok;
    return ok;
}

}  // namespace

bool ImuRgbState::stopAll() {
    std::lock_guard<std::mutex> lk(controlMutex);
    return stopAllLocked(*this);
}

void ImuRgbState::replaceSockets(const ControlEndpoint& ctrl, const std::function<void()>& reopen) {
    std::lock_guard<std::mutex> lk(controlMutex);
    const bool imuRan = imuFlags->run.load();
    const bool rgbRan = rgbRecvFlags->run.load();
    stopAllLocked(*this);
    reopen();
    if (imuRan) startImuStreamLocked(*this, ctrl);
    if (rgbRan) startRgbStreamLocked(*this, ctrl);
}

void openGate(ImuRgbState& st, const ControlEndpoint& ctrl) {
    std::lock_guard<std::mutex> g(st.gate->mutex);
    st.gate->ctrl = &ctrl;
}

}  // namespace orb
