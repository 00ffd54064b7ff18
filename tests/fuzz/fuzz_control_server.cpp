// The control-server connection with the device's side played from the fuzz
// input through the in-memory socket layer: the receive-size negotiation,
// reply acceptance (command, header check, announced length, receive size,
// bytes beyond the announced length), the mode sequence's exact-reply check
// and the decoding of network settings, all through the exported calls.
// Holds: outputs only on success, a decoded record of valid address texts,
// and no connection left open on any path.
//
// Input: operation, flags (refuse the connection; peer closes once its bytes
// are read), then segments: the answer to each frame the library sends, as
// a chunk size for the peer's writes and a length-prefixed run.

#include "device/device.h"
#include "core/ipv4.h"
#include "device/context.h"
#include "fake_net.h"
#include "fuzz_io.h"
#include "orb_sdk.h"

namespace {

constexpr const char* kIp = "127.0.0.2";

std::mutex gMutex;
std::deque<std::pair<std::uint8_t, orbtest::Bytes>> gSegments;  // chunk size, bytes
bool gRefuse = false, gCloseAtEnd = false;

void onSend(orb::net::Socket s, const std::uint8_t*, std::size_t, const orb::net::Endpoint&) {
    std::pair<std::uint8_t, orbtest::Bytes> seg;
    bool close = false;
    {
        std::lock_guard<std::mutex> lk(gMutex);
        close = gSegments.empty() && gCloseAtEnd;
        if (!gSegments.empty()) seg = std::move(gSegments.front()), gSegments.pop_front();
    }
    if (!seg.second.empty()) orbfuzz::queueStream(s, seg.second, seg.first);
    if (close) orbfuzz::closePeer(s);
}

int onConnect(orb::net::Socket, const orb::net::Endpoint&) {
    std::lock_guard<std::mutex> lk(gMutex);
    return gRefuse ? 111 : 0;
}

void setUp() {
    static const bool done = [] {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        reg.devices().emplace(kIp, std::make_unique<orb::DeviceRecord>(kIp, 6301));
        return true;
    }();
    (void)done;
}

bool validText(const char* field, std::size_t size) {
    const void* nul = std::memchr(field, 0, size);
    return nul != nullptr && orb::isValidIPv4(field);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUp();
    orbfuzz::Reader in(data, size);
    const std::uint8_t op = in.u8();
    const std::uint8_t flags = in.u8();
    {
        std::lock_guard<std::mutex> lk(gMutex);
        gRefuse = (flags & 1) != 0;
        gCloseAtEnd = (flags & 2) != 0;
        gSegments.clear();
        for (int i = 0; i < 16 && !in.empty(); ++i) {
            const std::uint8_t chunk = in.u8();
            gSegments.emplace_back(chunk, in.run());
        }
    }
    orbfuzz::setSendHook(onSend);
    orbfuzz::setConnectHook(onConnect);
    const std::size_t socketsBefore = orbfuzz::openSocketCount();

    switch (op % 5) {
    case 0: {
        ZelOrbNetInfo info;
        orbtest::fillPattern(&info, sizeof info);
        const std::int32_t rc = ZelOrbGetNetInfo(kIp, &info);
        FUZZ_CHECK(rc == RC_OK || rc == RC_GET_NET_ADDRESS_FAILED);
        if (rc == RC_OK)
            FUZZ_CHECK(validText(info.lidar_ip, sizeof info.lidar_ip) && validText(info.host_ip, sizeof info.host_ip));
        else
            FUZZ_CHECK(orbtest::holdsPattern(&info, sizeof info));
        break;
    }
    case 1: {
        ZelOrbNetInfo info{};
        std::strcpy(info.lidar_ip, "127.0.0.2");
        std::strcpy(info.host_ip, "127.0.0.1");
        info.lidar_port = 6301;
        info.host_port = 6001;
        const std::int32_t rc = ZelOrbSetNetInfo(kIp, &info);
        FUZZ_CHECK(rc == RC_OK || rc == RC_SET_NET_ADDRESS_FAILED);
        break;
    }
    default: {
        const std::int32_t rc = ZelOrbSetDeviceMode(kIp, op % 5 - 2);  // modes 0, 1 and one without a frame
        FUZZ_CHECK(rc == RC_OK || rc == RC_GENERAL_ERROR);
        break;
    }
    }
    FUZZ_CHECK(orbfuzz::openSocketCount() == socketsBefore);
    orbfuzz::resetHooks();
    return 0;
}
