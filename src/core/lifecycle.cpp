// Library start and end, and connecting and disconnecting devices.
#include <chrono>
#include <cstring>
#include <cstdio>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/command.h"
#include "control/control_endpoint.h"
#include "core/api_guard.h"
#include "core/callback_guard.h"
#include "core/device.h"
#include "core/lifecycle.h"
#include "imu_rgb/imu_rgb_state.h"
#include "core/registry.h"
#include "orb_sdk.h"
#include "platform/net.h"
#include "stream/stream_state.h"

namespace orb {

namespace {

constexpr std::uint16_t kCmdHandshake = 0x0100;
constexpr std::uint16_t kCmdQueryInverted = 0x033E;
constexpr std::uint16_t kCmdQueryRgbEnabled = 0x0328;
constexpr std::uint16_t kCmdQueryRgbRotation = 0x0337;
constexpr std::uint16_t kDataPortBase = 50661;
constexpr std::uint16_t kImuPortBase = 50662;
constexpr int kImuSocketTimeoutMs = 10;
constexpr int kMaxConnectionCounter = 20;

// Picks the local ports of each connection setup; changed only under the
// exclusive registry lock.
int gConnectionCounter = 0;

void closeIfOpen(net::Socket& s) {
    if (s != net::kInvalidSocket) net::closeSocket(s);
    s = net::kInvalidSocket;
}

}  // namespace

int ConnectionCounter() { return gConnectionCounter; }

int RunConnectionSetup(DeviceRecord& dev) {
    const std::string host = Registry::get().hostIp();
    if (host.empty() || !IsValidIPv4(host.c_str()) || dev.ip.empty() || !IsValidIPv4(dev.ip.c_str()))
        return RC_INVALID_TARGET;

    const int k = gConnectionCounter;
    gConnectionCounter = k < kMaxConnectionCounter ? k + 1 : 0;

    ControlEndpoint& ep = dev.ctrl;
    ep.localData = net::makeEndpoint(host.c_str(), static_cast<std::uint16_t>(kDataPortBase + 10 * k));
    ep.localImu = net::makeEndpoint(host.c_str(), static_cast<std::uint16_t>(kImuPortBase + 10 * k));
    ep.deviceControl = net::makeEndpoint(dev.ip.c_str(), kCommandPort);

    // Running IMU/RGB threads read these sockets: stop them before the old
    // descriptors close (their numbers may be reused) and restart them on
    // the new ones.
    const RunningStreams running = PauseStreamsForNewSockets(dev);
    closeIfOpen(ep.dataSocket);
    closeIfOpen(ep.imuSocket);

    std::uint8_t status = DEV_SOCKET_SETUP_FAILED;
    ep.dataSocket = OpenUdpSocket(ep.localData, 0);
    if (ep.dataSocket != net::kInvalidSocket) ep.imuSocket = OpenUdpSocket(ep.localImu, kImuSocketTimeoutMs);
    ResumeStreamsOnNewSockets(dev, running);
    if (ep.dataSocket != net::kInvalidSocket) {
        if (ep.imuSocket != net::kInvalidSocket) {
            // Tells the device where to send: host address (network order)
            // and this connection's data port (big-endian).
            std::uint8_t payload[6];
            const std::uint32_t a = ep.localData.addr;
            std::memcpy(payload, &a, 4);
            payload[4] = static_cast<std::uint8_t>(ep.localData.port >> 8);
            payload[5] = static_cast<std::uint8_t>(ep.localData.port);
            RequestBuffer req(kCmdHandshake);
            req.setPayload(payload, sizeof payload);
            status = CommandExchange(ep, req, nullptr);
        }
    }
    return status == 0 ? RC_OK : RC_GENERAL_ERROR;
}

void RunConnectionQueries(DeviceRecord& dev) {
    ControlEndpoint& ep = dev.ctrl;
    ReplyBuffer reply;
    {
        RequestBuffer req(kCmdQueryInverted);
        if (CommandExchange(ep, req, &reply) == 0 && reply.payloadLength() >= 1) {
            const bool inverted = reply.payload()[0] != 0;
            dev.stream.inverted = inverted;
            dev.stream.axisSign = inverted ? -1 : 1;
        }
    }
    {
        RequestBuffer req(kCmdQueryRgbEnabled);
        const bool ok = CommandExchange(ep, req, &reply) == 0 && reply.payloadLength() >= 1;
        ep.rgbEnabled = (ok && reply.payload()[0] != 0) ? 1 : 0;
    }
    {
        RequestBuffer req(kCmdQueryRgbRotation);
        if (CommandExchange(ep, req, &reply) == 0 && reply.payloadLength() >= 1) ep.rgbRotation = reply.payload()[0];
    }
}

}  // namespace orb

extern "C" {

ORB_API int32_t ZelOrbInit(void) {
    return orb::apiGuard<int32_t>(1, [] {
        if (!orb::net::startup()) {
            std::printf("WSAStartup failed\n");
            std::fflush(stdout);
            return 1;
        }
        return 0;
    });
}

ORB_API int32_t ZelOrbDeinit(void) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [] { return orb::net::cleanup() == 0 ? 0 : RC_GENERAL_ERROR; });
}

ORB_API int32_t ZelOrbConnectDevice(const char* ip, int32_t port) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip || !orb::IsValidIPv4(ip) || port == 0) return RC_INVALID_TARGET;
        // The exclusive registry lock could wait for a thread that waits for
        // the mutex this callback runs under.
        if (orb::inAnyCallback()) return RC_GENERAL_ERROR;
        auto& reg = orb::Registry::get();
        std::unique_lock<std::shared_mutex> lock(reg.mutex());

        if (orb::DeviceRecord* dev = reg.find(ip)) {
            dev->stream.dataSourcePort = port;
            const int rc = orb::RunConnectionSetup(*dev);
            if (rc != RC_OK) return rc;
            orb::RunConnectionQueries(*dev);
            return RC_DEVICE_EXISTS;
        }

        // Registered before its threads start (nobody sees it before the lock
        // is released), so a failure to start them can be undone cleanly.
        auto inserted = reg.devices().emplace(std::string(ip), std::make_unique<orb::DeviceRecord>(ip, port));
        orb::DeviceRecord& dev = *inserted.first->second;
        try {
            orb::StartDeviceThreads(dev);
        } catch (...) {
            orb::SignalDeviceThreadsStop(dev);
            orb::WaitDeviceThreadsStopped(dev);
            reg.devices().erase(inserted.first);
            return RC_GENERAL_ERROR;
        }
        // From here the threads run: the record stays registered so that a
        // disconnect stops them, whatever the setup gives.
        if (orb::RunConnectionSetup(dev) != RC_OK) return RC_HANDSHAKE_FAILED;
        orb::RunConnectionQueries(dev);
        return RC_OK;
    });
}

ORB_API int32_t ZelOrbDisconnectDevice(const char* ip) {
    return orb::apiGuard<int32_t>(RC_GENERAL_ERROR, [&]() -> int32_t {
        if (!ip) return RC_INVALID_TARGET;
        // Waiting for the device's threads from one of them would never end,
        // and the exclusive registry lock could wait for a thread that waits
        // for the mutex any callback runs under.
        if (orb::inAnyCallback()) return RC_GENERAL_ERROR;
        auto& reg = orb::Registry::get();
        std::unique_ptr<orb::DeviceRecord> record;
        {
            std::unique_lock<std::shared_mutex> lock(reg.mutex());
            auto it = reg.devices().find(ip);
            if (it == reg.devices().end()) return RC_DEVICE_NOT_FOUND;
            orb::SignalDeviceThreadsStop(*it->second);
            record = std::move(it->second);
            reg.devices().erase(it);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        orb::WaitDeviceThreadsStopped(*record);
        record.reset();
        return RC_OK;
    });
}

ORB_API int32_t ZelOrbDisconnectAllDevice(void) {
    return orb::apiGuard<int32_t>(RC_OK, [] {
        std::vector<std::string> ips;
        {
            auto& reg = orb::Registry::get();
            std::shared_lock<std::shared_mutex> lock(reg.mutex());
            ips.reserve(reg.devices().size());
            for (const auto& entry : reg.devices()) ips.push_back(entry.first);
        }
        for (const auto& ip : ips) ZelOrbDisconnectDevice(ip.c_str());
        return RC_OK;
    });
}

}  // extern "C"
