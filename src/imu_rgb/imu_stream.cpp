#include "imu_rgb/imu_stream.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/api_guard.h"
#include "core/callback_guard.h"
#include "imu_rgb/device_call.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/wire_bytes.h"
#include "platform/net.h"

namespace orb {

bool ParseImuPacket(const std::uint8_t* data, std::size_t n, ZelOrb9AxisImuData& out) {
    if (!data || n < kImuFrameBytes) return false;
    std::size_t p = 0;
    while (p < n) {
        if (n - p < 4) return false;
        if (wire::le32(data + p) != wire::kStreamHeadMagic) {
            ++p;
            continue;
        }
        p += 4;
        // Unexamined word, time, nine values: 4 + 10 + 36 bytes.
        if (n - p < 50) return false;
        const std::uint8_t* time = data + p + 4;
        const std::uint8_t* values = data + p + 14;
        p += 50;
        if (n - p < 4) return false;
        if (wire::le32(data + p) != wire::kStreamTailMagic) continue;  // rescan from the bad tail
        out.seconds = wire::le48(time);
        out.microseconds = wire::le32(time + 6);
        for (int i = 0; i < 9; ++i) {
            const std::uint32_t bits = wire::be32(values + 4 * i);
            std::memcpy(&out.axis[i], &bits, sizeof bits);
        }
        return true;
    }
    return false;
}

namespace {

void ImuThreadMain(const std::shared_ptr<ImuShared>& imu, const std::shared_ptr<ThreadFlags>& flags,
                   const std::shared_ptr<OwnerGate>& gate, net::Socket sock) {
    try {
        std::vector<std::uint8_t> buf(65536);
        while (flags->run.load()) {
            const int n = net::recvFrom(sock, buf.data(), buf.size(), nullptr);
            if (n <= 0) {
                // The 10 ms time-out normally paces this; a closed or invalid
                // socket returns at once, so do not spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            ZelOrb9AxisImuData sample;
            if (!ParseImuPacket(buf.data(), static_cast<std::size_t>(n), sample)) continue;
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
            if (callback) {
                const DeviceRecord* dev = gate->get();
                if (dev) {
                    CallbackScope scope(dev);
                    StreamCallbackMark mark(StreamCallbackMark::Imu, dev);
                    callback(sample);
                }
            }
        }
    } catch (...) {
        // Out of memory for the receive area: the thread ends like a stopped one.
    }
    flags->exit.store(true);
}


std::int32_t StopImuStream(DeviceRecord& dev) {
    ImuRgbState& st = dev.ctrl.imuRgb;
    std::lock_guard<std::mutex> lk(st.controlMutex);
    return StopStreamThread(*st.imuFlags) ? RC_OK : RC_GENERAL_ERROR;
}

std::int32_t GetImu(DeviceRecord& dev, ZelOrb9AxisImuData& out) {
    ImuShared& imu = *dev.ctrl.imuRgb.imu;
    std::unique_lock<std::mutex> lk(imu.mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    if (!imu.cv.wait_until(lk, deadline, [&] { return imu.newSample.load(); })) return RC_IMU_GET_FAILED;
    imu.newSample.store(false);
    out = imu.latest;
    return RC_OK;
}

}  // namespace

std::int32_t StartImuStream(DeviceRecord& dev) {
    ImuRgbState& st = dev.ctrl.imuRgb;
    std::lock_guard<std::mutex> lk(st.controlMutex);
    StopStreamThread(*st.imuFlags);
    {
        std::lock_guard<std::mutex> g(st.gate->mutex);
        st.gate->dev = &dev;
    }
    auto flags = std::make_shared<ThreadFlags>();
    flags->run.store(true);
    flags->exit.store(false);  // running from here on, so a stop waits for the thread itself
    const net::Socket sock = dev.ctrl.imuSocket;
    auto imu = st.imu;
    auto gate = st.gate;
    if (!LaunchDetached([imu, flags, gate, sock] { ImuThreadMain(imu, flags, gate, sock); })) {
        flags->run.store(false);
        flags->exit.store(true);
        return RC_IMU_START_FAILED;
    }
    st.imuFlags = flags;
    return RC_OK;
}

}  // namespace orb

extern "C" {

int32_t ZelOrbStartDevice9AxisImuStream(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Would wait for the thread that runs the callback.
        if (orb::InOwnImuCallback(ip)) return RC_GENERAL_ERROR;
        return orb::WithDeviceShared(ip, [](orb::DeviceRecord& dev) { return orb::StartImuStream(dev); });
    });
}

int32_t ZelOrbStopDevice9AxisImuStream(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        if (orb::InOwnImuCallback(ip)) return RC_GENERAL_ERROR;
        return orb::WithDeviceShared(ip, [](orb::DeviceRecord& dev) { return orb::StopImuStream(dev); });
    });
}

int32_t ZelOrbGet9AxisImu(const char* ip, ZelOrb9AxisImuData* data) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::WithDeviceShared(ip, [&](orb::DeviceRecord& dev) -> int32_t {
            if (!data) return RC_INVALID_TARGET;
            return orb::GetImu(dev, *data);
        });
    });
}

int32_t ZelOrbRegisterCallbackUpdate9AxisImuData(const char* ip, ZelOrb9AxisImuCallback callback) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::WithDeviceShared(ip, [&](orb::DeviceRecord& dev) -> int32_t {
            orb::ImuShared& imu = *dev.ctrl.imuRgb.imu;
            std::lock_guard<std::mutex> lk(imu.mutex);
            if (!callback) return RC_CALLBACK_REGISTER_FAILED;
            imu.callback = callback;
            return RC_OK;
        });
    });
}

int32_t ZelOrbRegisterCallbackUpdate6AxisImuData(const char* ip, ZelOrb6AxisImuCallback callback) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Frame and six-axis callbacks run under the stream mutex taken here.
        if (orb::inOwnCallback(ip) && !orb::InOwnImuCallback(ip) && !orb::InOwnRgbCallback(ip))
            return RC_GENERAL_ERROR;
        return orb::WithDeviceShared(ip, [&](orb::DeviceRecord& dev) -> int32_t {
            std::lock_guard<std::mutex> lk(dev.stream.streamMutex);
            if (!callback) return RC_CALLBACK_REGISTER_FAILED;
            dev.stream.sixAxisCallback = callback;
            return RC_OK;
        });
    });
}

}  // extern "C"
