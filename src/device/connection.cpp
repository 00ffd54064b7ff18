#include "device/connection.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "control/config_commands.h"
#include "core/bytes.h"
#include "core/ipv4.h"
#include "device/context.h"
#include "device/device.h"
#include "orb_sdk.h"
#include "platform/net.h"

namespace orb {

namespace {

constexpr std::uint16_t kDataPortBase = 50661;
constexpr std::uint16_t kImuPortBase = 50662;
constexpr int kPortStep = 10;
constexpr int kImuSocketTimeoutMs = 10;
constexpr int kMaxConnectionCounter = 20;

void closeIfOpen(net::Socket& s) {
    if (s != net::kInvalidSocket) net::closeSocket(s);
    s = net::kInvalidSocket;
}

// Tells the device where to send: host address (network order) and this
// connection's data port (big-endian).
std::uint8_t sendHandshake(ControlEndpoint& ep) {
    std::uint8_t payload[6];
    const std::uint32_t addr = ep.localData.addr;
    std::memcpy(payload, &addr, 4);
    bytes::writeBe16(payload + 4, ep.localData.port);
    return sendCommand(ep, cmd::kHandshake, Payload{payload, sizeof payload});
}

// A one-byte query of the connection; false when it gave no byte.
bool queryByte(ControlEndpoint& ep, std::uint16_t command, std::uint8_t& out) {
    ReplyBuffer reply;
    if (commandExchange(ep, RequestBuffer(command), &reply) != 0 || reply.payloadLength() < 1) return false;
    out = reply.payload()[0];
    return true;
}

}  // namespace

int runConnectionSetup(DeviceRecord& dev) {
    LibraryContext& ctx = libraryContext();
    std::string host;
    int k = 0;
    {
        // The host IP and the counter belong to the registry's lock; it is
        // held for these few lines only.
        std::unique_lock<std::shared_mutex> lock(ctx.registry.mutex());
        host = ctx.registry.hostIp();
        if (host.empty() || !isValidIPv4(host.c_str()) || dev.ip.empty() || !isValidIPv4(dev.ip.c_str()))
            return RC_INVALID_TARGET;
        k = ctx.connectionCounter;
        ctx.connectionCounter = k < kMaxConnectionCounter ? k + 1 : 0;
    }

    ControlEndpoint& ep = dev.ctrl;
    ep.localData = net::makeEndpoint(host.c_str(), static_cast<std::uint16_t>(kDataPortBase + kPortStep * k));
    ep.localImu = net::makeEndpoint(host.c_str(), static_cast<std::uint16_t>(kImuPortBase + kPortStep * k));

    dev.imuRgb.replaceSockets(ep, [&ep] {
        closeIfOpen(ep.dataSocket);
        closeIfOpen(ep.imuSocket);
        ep.dataSocket = openUdpSocket(ep.localData, 0);
        if (ep.dataSocket != net::kInvalidSocket) ep.imuSocket = openUdpSocket(ep.localImu, kImuSocketTimeoutMs);
    });
    std::uint8_t status = DEV_SOCKET_SETUP_FAILED;
    if (ep.dataSocket != net::kInvalidSocket && ep.imuSocket != net::kInvalidSocket) status = sendHandshake(ep);
    return status == 0 ? RC_OK : RC_GENERAL_ERROR;
}

void runConnectionQueries(DeviceRecord& dev) {
    ControlEndpoint& ep = dev.ctrl;
    std::uint8_t value = 0;
    if (queryByte(ep, cmd::kGetInverted, value)) {
        const bool inverted = value != 0;
        dev.stream.inverted = inverted;
        dev.stream.axisSign = inverted ? -1 : 1;
    }
    const bool rgbAnswered = queryByte(ep, cmd::kGetRgbEnabled, value);
    ep.rgbEnabled = (rgbAnswered && value != 0) ? 1 : 0;
    if (queryByte(ep, cmd::kGetRgbRotation, value)) ep.rgbRotation = value;
}

}  // namespace orb
