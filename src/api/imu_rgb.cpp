// The nine-axis IMU and RGB streams and RGB-D fusion.
#include <cstdint>
#include <memory>
#include <optional>

#include "control/config_commands.h"
#include "core/api_guard.h"
#include "core/callback_mark.h"
#include "device/lookup.h"
#include "imu_rgb/fusion.h"
#include "imu_rgb/fusion_state.h"
#include "imu_rgb/imu_stream.h"
#include "imu_rgb/rgb_stream.h"
#include "orb_sdk.h"

namespace {

// A device-scoped call: RC_INVALID_TARGET for a null IP, RC_DEVICE_NOT_FOUND
// for an unknown one. Calls that start or stop a stream are refused (-1)
// inside that stream's callback of the device, whose thread they would wait
// for; the callback may have outlived the record.
template <class Body>
std::int32_t onDevice(const char* ip, Body&& body, std::optional<orb::CallbackKind> refusedInside = std::nullopt) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!ip) return RC_INVALID_TARGET;
        if (refusedInside && orb::inOwnCallback(ip, *refusedInside)) return RC_GENERAL_ERROR;
        return orb::withDevice<std::int32_t>(ip, orb::FromCallback::Allowed, RC_DEVICE_NOT_FOUND, body);
    });
}

std::int32_t initFusion(const char* ip) {
    float intr[orb::kIntrinsicRecord] = {};
    float extr[orb::kExtrinsicCount] = {};
    // RC_GENERAL_ERROR also for an unknown device: the parameters could not be read.
    const std::int32_t read = orb::withDevice<std::int32_t>(
        ip, orb::FromCallback::Allowed, RC_GENERAL_ERROR, [&](orb::DeviceRecord& dev) -> std::int32_t {
            if (orb::queryIntrinsics(dev.ctrl, intr) != 0) return RC_GENERAL_ERROR;
            if (orb::queryLidarToRgbExtrinsics(dev.ctrl, extr) != 0) return RC_GENERAL_ERROR;
            return RC_OK;
        });
    if (read != RC_OK) return read;
    // The maps take a while: build them without holding any lock.
    auto params = std::make_shared<orb::FusionParams>();
    if (!orb::initFusionState(*params, intr, orb::kRgbHeight, orb::kRgbWidth, extr)) return RC_GENERAL_ERROR;
    return orb::withDevice<std::int32_t>(ip, orb::FromCallback::Allowed, RC_DEVICE_NOT_FOUND,
                                         [&](orb::DeviceRecord& dev) -> std::int32_t {
                                             orb::installFusionParams(dev.fusion, std::move(params));
                                             return RC_OK;
                                         });
}

}  // namespace

extern "C" {

int32_t ZelOrbStartDevice9AxisImuStream(const char* ip) {
    return onDevice(ip, [](orb::DeviceRecord& dev) { return orb::startImuStream(dev.imuRgb, dev.ctrl); },
                    orb::CallbackKind::NineAxis);
}

int32_t ZelOrbStopDevice9AxisImuStream(const char* ip) {
    return onDevice(ip, [](orb::DeviceRecord& dev) { return orb::stopImuStream(dev.imuRgb); },
                    orb::CallbackKind::NineAxis);
}

int32_t ZelOrbGet9AxisImu(const char* ip, ZelOrb9AxisImuData* data) {
    return onDevice(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        if (!data) return RC_INVALID_TARGET;
        return orb::takeImuSample(*dev.imuRgb.imu, *data);
    });
}

int32_t ZelOrbRegisterCallbackUpdate9AxisImuData(const char* ip, ZelOrb9AxisImuCallback callback) {
    return onDevice(ip, [&](orb::DeviceRecord& dev) {
        orb::ImuShared& imu = *dev.imuRgb.imu;
        return orb::registerCallback(imu.mutex, imu.callback, callback);
    });
}

int32_t ZelOrbStartDeviceRgbStream(const char* ip) {
    return onDevice(ip, [](orb::DeviceRecord& dev) { return orb::startRgbStream(dev.imuRgb, dev.ctrl); },
                    orb::CallbackKind::Rgb);
}

int32_t ZelOrbStopDeviceRgbStream(const char* ip) {
    return onDevice(ip, [](orb::DeviceRecord& dev) { return orb::stopRgbStream(dev.imuRgb); }, orb::CallbackKind::Rgb);
}

int32_t ZelOrbGetRgb(const char* ip, ZelOrbRgbData* data) {
    return onDevice(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        if (!data) return RC_INVALID_TARGET;
        return orb::takeRgbImage(*dev.imuRgb.rgb, *data, orb::kRgbPollWait) ? RC_OK : RC_RGB_GET_FAILED;
    });
}

int32_t ZelOrbRegisterCallbackUpdateRgb(const char* ip, ZelOrbRgbCallback callback) {
    return onDevice(ip, [&](orb::DeviceRecord& dev) {
        orb::RgbShared& rgb = *dev.imuRgb.rgb;
        return orb::registerCallback(rgb.outputMutex, rgb.callback, callback);
    });
}

int32_t ZelOrbSetRgbUndistortion(const char* ip, bool enable) {
    return onDevice(ip,
                    [&](orb::DeviceRecord& dev) { return orb::setRgbUndistortion(*dev.imuRgb.rgb, dev.ctrl, enable); });
}

int32_t ZelOrbInitRGBDFusionParam(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return initFusion(ip);
    });
}

int32_t ZelOrbGetRGBDFusionData(const char* ip, ZelOrbRgbData* data) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Frame and six-axis callbacks hold the stream mutex this call takes.
        if (orb::holdsOwnStreamMutex(ip)) return RC_GENERAL_ERROR;
        return orb::withDevice<std::int32_t>(ip, orb::FromCallback::Allowed, RC_DEVICE_NOT_FOUND,
                                             [&](orb::DeviceRecord& dev) {
                                                 return orb::fuseNewestFrame(dev.fusion, *dev.imuRgb.rgb,
                                                                             dev.stream, data);
                                             });
    });
}

}  // extern "C"
