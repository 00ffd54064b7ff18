// Network settings and the operating mode, over the control-server connection
// (opened and closed by each call).
#include <cstdint>
#include <mutex>
#include <vector>

#include "control/control_server.h"
#include "control/net_settings.h"
#include "core/api_guard.h"
#include "device/context.h"
#include "device/lookup.h"
#include "orb_sdk.h"

extern "C" {

int32_t ZelOrbGetNetInfo(const char* ip, ZelOrbNetInfo* info) {
    return orb::apiGuard<int32_t>(RC_GET_NET_ADDRESS_FAILED, [&]() -> int32_t {
        if (!ip || !info) return RC_INVALID_TARGET;
        orb::LibraryContext& ctx = orb::libraryContext();
        orb::ControlServerSession session(ctx.controlServer);
        if (session.connect(ip, orb::kNetSettingsTimeoutMs) != orb::kControlServerConnected)
            return RC_GET_NET_ADDRESS_FAILED;
        std::vector<std::uint8_t> data;
        const std::uint32_t result =
            session.exchange(orb::kCsCmdGetNetSettings, nullptr, 0, &data, orb::kNetSettingsAttempts);
        ZelOrbNetInfo decoded{};
        const bool ok = result == 0 && orb::decodeNetSettings(data.data(), data.size(), decoded);
        if (ok) ctx.netSettingsExtras.remember(ip, data);
        session.disconnect();
        if (!ok) return RC_GET_NET_ADDRESS_FAILED;
        *info = decoded;
        return RC_OK;
    });
}

int32_t ZelOrbSetNetInfo(const char* ip, const ZelOrbNetInfo* info) {
    return orb::apiGuard<int32_t>(RC_SET_NET_ADDRESS_FAILED, [&]() -> int32_t {
        if (!ip || !info) return RC_INVALID_TARGET;
        orb::LibraryContext& ctx = orb::libraryContext();
        std::uint8_t extra[orb::kNetSettingsExtraSize] = {};
        const bool haveExtra = ctx.netSettingsExtras.recall(ip, extra);
        std::uint8_t payload[orb::kNetSettingsSize];
        // Checked before connecting: a record that cannot be sent costs no traffic.
        if (!orb::encodeNetSettings(*info, haveExtra ? extra : nullptr, payload)) return RC_SET_NET_ADDRESS_FAILED;
        orb::ControlServerSession session(ctx.controlServer);
        if (session.connect(ip, orb::kNetSettingsTimeoutMs) != orb::kControlServerConnected)
            return RC_SET_NET_ADDRESS_FAILED;
        const std::uint32_t result = session.exchange(orb::kCsCmdSetNetSettings, payload, orb::kNetSettingsSize,
                                                      nullptr, orb::kNetSettingsAttempts);
        session.disconnect();
        return result == 0 ? RC_OK : RC_SET_NET_ADDRESS_FAILED;
    });
}

int32_t ZelOrbSetDeviceMode(const char* ip, int32_t mode) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::withDevice<int32_t>(ip, orb::FromCallback::Refused, RC_DEVICE_NOT_FOUND,
                                        [&](orb::DeviceRecord& dev) -> int32_t {
            // After a connection or disconnection of this device in progress;
            // a device disconnected meanwhile is gone for this call too.
            std::lock_guard<std::mutex> operation(dev.operationMutex);
            if (!orb::libraryContext().registry.holds(dev.ip, &dev)) return RC_DEVICE_NOT_FOUND;
            orb::ControlServerSession session(orb::libraryContext().controlServer);
            if (session.connect(ip, orb::kDeviceModeTimeoutMs) != orb::kControlServerConnected)
                return RC_GENERAL_ERROR;
            bool confirmed = true;
            if (mode == 0 || mode == 1) {
                const char* frame = mode == 0 ? orb::kModeFrameSingleEchoHex : orb::kModeFrameDualEchoHex;
                confirmed = session.modeSequence(orb::kModeFrameAttempts, frame, orb::kModeReplyHex);
                // Stored even unconfirmed: the device may have switched without its reply reaching us.
                dev.stream.processingMode.store(mode == 0 ? orb::kModeFull : orb::kModeDualEcho);
            }
            session.disconnect();
            return confirmed ? RC_OK : RC_GENERAL_ERROR;
        });
    });
}

}  // extern "C"
