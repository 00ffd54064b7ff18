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
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "core/device.h"
#include "core/registry.h"
#include "fake_net.h"
#include "fuzz_check.h"
#include "support/bytes.h"
#include "fuzz_io.h"
#include "orb_sdk.h"

namespace {

constexpr const char* kIp = "127.0.0.2";

struct Segment {
    std::uint8_t chunk;
    std::vector<std::uint8_t> bytes;
};

struct Script {
    std::mutex mutex;
    std::deque<Segment> segments;
    bool refuse = false;
    bool closeAtEnd = false;
};
Script gScript;

void onSend(orb::net::Socket s, const std::uint8_t*, std::size_t, const orb::net::Endpoint&) {
    Segment seg;
    bool close = false;
    {
        std::lock_guard<std::mutex> lk(gScript.mutex);
        if (gScript.segments.empty()) {
            close = gScript.closeAtEnd;
        } else {
            seg = std::move(gScript.segments.front());
            gScript.segments.pop_front();
        }
    }
    if (!seg.bytes.empty()) orbfuzz::queueStream(s, seg.bytes, seg.chunk);
    if (close) orbfuzz::closePeer(s);
}

int onConnect(orb::net::Socket, const orb::net::Endpoint&) {
    std::lock_guard<std::mutex> lk(gScript.mutex);
    return gScript.refuse ? 111 : 0;
}

void setUp() {
    static const bool done = [] {
        auto& reg = orb::Registry::get();
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        reg.devices().emplace(kIp, std::make_unique<orb::DeviceRecord>(kIp, 6301));
        return true;
    }();
    (void)done;
}

bool validText(const char* field, std::size_t size) {
    const void* nul = std::memchr(field, 0, size);
    return nul != nullptr && orb::IsValidIPv4(field);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUp();
    orbfuzz::Reader in(data, size);
    const std::uint8_t op = in.u8();
    const std::uint8_t flags = in.u8();
    {
        std::lock_guard<std::mutex> lk(gScript.mutex);
        gScript.refuse = (flags & 1) != 0;
        gScript.closeAtEnd = (flags & 2) != 0;
        gScript.segments.clear();
        for (int i = 0; i < 16 && !in.empty(); ++i) {
            Segment seg;
            seg.chunk = in.u8();
            seg.bytes = in.run();
            gScript.segments.push_back(std::move(seg));
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
