#include "imu_rgb/imu_stream.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "core/callback_mark.h"
#include "imu_rgb/stream_magic.h"
#include "platform/net.h"

namespace orb {

namespace {

constexpr std::size_t kImuBodyBytes = 50;  // unexamined word, time, nine values: 4 + 10 + 36
constexpr std::size_t kAtTime = 4;
constexpr std::size_t kAtValues = 14;

}  // namespace

bool parseImuPacket(const std::uint8_t* data, std::size_t n, ZelOrb9AxisImuData& out) {
    if (!data || n < kImuFrameBytes) return false;
    for (std::size_t p = afterStreamHead(data, n, 0); p != kNoStreamHead; p = afterStreamHead(data, n, p)) {
        if (n - p < kImuBodyBytes) return false;
        const std::uint8_t* time = data + p + kAtTime;
        const std::uint8_t* values = data + p + kAtValues;
        p += kImuBodyBytes;
        if (n - p < 4) return false;
        if (bytes::readLe32(data + p) != kStreamTailMagic) continue;  // rescan from the bad tail
        out.seconds = bytes::readLe48(time);
        out.microseconds = bytes::readLe32(time + 6);
        for (int i = 0; i < 9; ++i) out.axis[i] = bytes::floatFromBits(bytes::readBe32(values + 4 * i));
        return true;
    }
    return false;
}

namespace {

void imuThreadMain(const std::shared_ptr<ImuShared>& imu, const std::shared_ptr<ThreadFlags>& flags,
                   const std::shared_ptr<OwnerGate>& gate, const StreamSocket& source) {
    try {
        std::vector<std::uint8_t> buf(kStreamReceiveArea);
        while (flags->run.load()) {
            const std::size_t n = receiveOrWait(source, buf);
            ZelOrb9AxisImuData sample;
            if (n == 0 || !parseImuPacket(buf.data(), n, sample)) continue;
            imu->samples.fetch_add(1, std::memory_order_relaxed);
            ZelOrb9AxisImuCallback callback;
            {
                std::lock_guard<std::mutex> lk(imu->mutex);
                imu->latest = sample;
                imu->newSample.store(true);
                callback = imu->callback;
            }
            imu->cv.notify_all();
            // Called with no library lock held, so that the callback may call
            // into the library without lock-order cycles through the registry.
            if (callback && gate->isOpen()) {
                CallbackMark mark(gate->deviceIp.c_str(), CallbackKind::NineAxis);
                callback(sample);
            }
        }
    } catch (...) {
        // Out of memory for the receive area: the thread ends like a stopped one.
    }
    flags->exit.store(true);
}

}  // namespace

std::int32_t takeImuSample(ImuShared& imu, ZelOrb9AxisImuData& out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lk(imu.mutex);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    if (!imu.cv.wait_until(lk, deadline, [&] { return imu.newSample.load(); })) return RC_IMU_GET_FAILED;
    imu.newSample.store(false);
    out = imu.latest;
    return RC_OK;
}

std::int32_t startImuStream(ImuRgbState& st, const ControlEndpoint& ctrl) {
    std::lock_guard<std::mutex> lk(st.controlMutex);
    return startImuStreamLocked(st, ctrl);
}

std::int32_t startImuStreamLocked(ImuRgbState& st, const ControlEndpoint& ctrl) {
    stopStreamThread(*st.imuFlags);
    openGate(st, ctrl);
    const StreamSocket source{ctrl.imuSocket, ctrl.localImu, &st.recorder};
    auto imu = st.imu;
    auto gate = st.gate;
    auto flags = launchStreamThread(
        [imu, gate, source](const std::shared_ptr<ThreadFlags>& own) { imuThreadMain(imu, own, gate, source); });
    if (!flags) return RC_IMU_START_FAILED;
    st.imuFlags = flags;
    return RC_OK;
}

std::int32_t stopImuStream(ImuRgbState& st) {
    std::lock_guard<std::mutex> lk(st.controlMutex);
    return stopStreamThread(*st.imuFlags) ? RC_OK : RC_GENERAL_ERROR;
}

}  // namespace orb
