// Point-cloud reception start and stop, frame retrieval, echo merging and the
// frame and six-axis callback registrations.
#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "core/api_guard.h"
#include "core/callback_mark.h"
#include "core/diagnostics.h"
#include "device/context.h"
#include "device/lookup.h"
#include "orb_sdk.h"
#include "platform/net.h"

namespace {

// Hands the published frame (or echo pair) out once: its ready flag is
// cleared. The frame and six-axis callbacks run with the device's stream
// mutex held, so from inside them this would wait for itself.
template <class Copy>
std::int32_t takePublished(const char* ip, std::atomic<bool> orb::StreamState::*ready, bool outputsGiven,
                           Copy&& copy) {
    if (!ip) return RC_INVALID_TARGET;
    if (orb::holdsOwnStreamMutex(ip)) return RC_GENERAL_ERROR;
    return orb::withDevice<std::int32_t>(ip, orb::FromCallback::Allowed, RC_DEVICE_NOT_FOUND,
                                         [&](orb::DeviceRecord& dev) -> std::int32_t {
                                             if (!outputsGiven) return RC_INVALID_TARGET;
                                             orb::StreamState& st = dev.stream;
                                             std::lock_guard<std::mutex> lock(st.streamMutex);
                                             if (!(st.*ready).load()) return RC_GET_DATA_FAILED;
                                             (st.*ready).store(false);
                                             copy(st);
                                             return RC_OK;
                                         });
}

// Registers a callback kept under the device's stream mutex.
template <class Callback>
std::int32_t registerStreamCallback(const char* ip, Callback orb::StreamState::*slot, Callback callback) {
    if (!ip) return RC_INVALID_TARGET;
    if (orb::holdsOwnStreamMutex(ip)) return RC_GENERAL_ERROR;
    return orb::withDevice<std::int32_t>(ip, orb::FromCallback::Allowed, RC_DEVICE_NOT_FOUND,
                                         [&](orb::DeviceRecord& dev) {
                                             return orb::registerCallback(dev.stream.streamMutex, dev.stream.*slot,
                                                                          callback);
                                         });
}

}  // namespace

extern "C" {

ORB_API std::int32_t ZelOrbStartReceiveData(const char* host_ip, std::int32_t port) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!host_ip) return RC_INVALID_TARGET;  // the host IP is needed for the membership and the control socket
        orb::LibraryContext& ctx = orb::libraryContext();
        std::lock_guard<std::mutex> lock(ctx.reception.startStopMutex());
        const std::int32_t rc = ctx.reception.open(host_ip, port);
        if (rc != RC_OK) return rc;
        {
            std::unique_lock<std::shared_mutex> registryLock(ctx.registry.mutex());
            ctx.registry.setHostIp(host_ip);
        }
        ctx.reception.startThread();
        if (!ctx.control.open(host_ip)) {
            orb::printDiagnostic(orb::DiagnosticStream::Out, "Control socket %s\n", orb::net::lastErrorText().c_str());
            return RC_GENERAL_ERROR;
        }
        return RC_OK;
    });
}

ORB_API std::int32_t ZelOrbStopReceiveData(void) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        orb::Reception& reception = orb::libraryContext().reception;
        std::lock_guard<std::mutex> lock(reception.startStopMutex());
        return reception.stop();
    });
}

ORB_API std::int32_t ZelOrbGetPointCloud(const char* ip, ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        return takePublished(ip, &orb::StreamState::frameReady, frame != nullptr, [&](orb::StreamState& st) {
            std::memcpy(frame, st.publishedFrame.data(), orb::kFrameBytes);
        });
    });
}

ORB_API std::int32_t ZelOrbGetDualEchoPointCloud(const char* ip, ZelOrbPointData (*first)[ZEL_ORB_FRAME_COLS],
                                                 ZelOrbPointData (*second)[ZEL_ORB_FRAME_COLS]) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        return takePublished(ip, &orb::StreamState::dualEchoReady, first && second, [&](orb::StreamState& st) {
            std::memcpy(first, st.publishedFrame.data(), orb::kFrameBytes);
            std::memcpy(second, st.publishedSecondEcho.data(), orb::kFrameBytes);
        });
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
        return registerStreamCallback(ip, &orb::StreamState::frameCallback, callback);
    });
}

ORB_API std::int32_t ZelOrbRegisterCallbackUpdate6AxisImuData(const char* ip, ZelOrb6AxisImuCallback callback) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        return registerStreamCallback(ip, &orb::StreamState::sixAxisCallback, callback);
    });
}

}  // extern "C"
