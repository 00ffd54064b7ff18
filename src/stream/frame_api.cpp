// Frame retrieval, echo merging and the frame callback registration.
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "core/api_guard.h"
#include "core/callback_guard.h"
#include "core/device.h"
#include "core/registry.h"
#include "imu_rgb/imu_rgb_state.h"
#include "orb_sdk.h"

namespace {

// The frame and six-axis callbacks run with the device's stream mutex held;
// a call from inside them that takes it again would wait for itself. The
// nine-axis and RGB callbacks hold no stream mutex.
bool underOwnStreamMutex(const char* ip) {
    return orb::inOwnCallback(ip) && !orb::InOwnImuCallback(ip) && !orb::InOwnRgbCallback(ip);
}

}  // namespace

extern "C" {

ORB_API std::int32_t ZelOrbGetPointCloud(const char* ip, ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!ip) return RC_INVALID_TARGET;
        if (underOwnStreamMutex(ip)) return RC_GENERAL_ERROR;
        orb::Registry& reg = orb::Registry::get();
        std::shared_lock<std::shared_mutex> regLock(reg.mutex());
        orb::DeviceRecord* dev = reg.find(ip);
        if (!dev) return RC_DEVICE_NOT_FOUND;
        if (!frame) return RC_INVALID_TARGET;
        orb::StreamState& st = dev->stream;
        std::lock_guard<std::mutex> lock(st.streamMutex);
        if (!st.frameReady.load()) return RC_GET_DATA_FAILED;
        st.frameReady.store(false);
        std::memcpy(frame, st.publishedFrame.data(), orb::kFrameBytes);
        return RC_OK;
    });
}

ORB_API std::int32_t ZelOrbGetDualEchoPointCloud(const char* ip, ZelOrbPointData (*first)[ZEL_ORB_FRAME_COLS],
                                                 ZelOrbPointData (*second)[ZEL_ORB_FRAME_COLS]) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!ip) return RC_INVALID_TARGET;
        if (underOwnStreamMutex(ip)) return RC_GENERAL_ERROR;
        orb::Registry& reg = orb::Registry::get();
        std::shared_lock<std::shared_mutex> regLock(reg.mutex());
        orb::DeviceRecord* dev = reg.find(ip);
        if (!dev) return RC_DEVICE_NOT_FOUND;
        if (!first || !second) return RC_INVALID_TARGET;
        orb::StreamState& st = dev->stream;
        std::lock_guard<std::mutex> lock(st.streamMutex);
        if (!st.dualEchoReady.load()) return RC_GET_DATA_FAILED;
        st.dualEchoReady.store(false);
        std::memcpy(first, st.publishedFrame.data(), orb::kFrameBytes);
        std::memcpy(second, st.publishedSecondEcho.data(), orb::kFrameBytes);
        return RC_OK;
    });
}

ORB_API std::int32_t ZelOrbGetMaximumRangePointCloud(ZelOrbPointData (*first)[ZEL_ORB_FRAME_COLS],
                                                     ZelOrbPointData (*second)[ZEL_ORB_FRAME_COLS],
                                                     ZelOrbPointData (*result)[ZEL_ORB_FRAME_COLS]) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!first || !second || !result) return RC_INVALID_TARGET;
        const ZelOrbPointData* a = first[0];
        const ZelOrbPointData* b = second[0];
        ZelOrbPointData* out = result[0];
        // Ties and NaN take the second; result may alias either input.
        for (std::size_t i = 0; i < orb::kFramePoints; ++i) out[i] = a[i].distance > b[i].distance ? a[i] : b[i];
        return RC_OK;
    });
}

ORB_API std::int32_t ZelOrbRegisterCallbackUpdateFrame(const char* ip, ZelOrbFrameCallback callback) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!ip) return RC_INVALID_TARGET;
        if (underOwnStreamMutex(ip)) return RC_GENERAL_ERROR;
        orb::Registry& reg = orb::Registry::get();
        std::shared_lock<std::shared_mutex> regLock(reg.mutex());
        orb::DeviceRecord* dev = reg.find(ip);
        if (!dev) return RC_DEVICE_NOT_FOUND;
        orb::StreamState& st = dev->stream;
        std::lock_guard<std::mutex> lock(st.streamMutex);
        if (!callback) return RC_CALLBACK_REGISTER_FAILED;
        st.frameCallback = callback;
        return RC_OK;
    });
}

}  // extern "C"
