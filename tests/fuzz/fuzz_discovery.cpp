// Active discovery with the devices' replies played from the fuzz input:
// each worker's broadcast request is answered, through the in-memory socket
// layer, by datagrams from chosen source addresses. Covers the discovery
// reply check and the recording of results across workers. Holds: at most
// max_count results, each a distinct (device, host) pair naming a sender of
// a valid reply, and the caller's array untouched beyond the count.
//
// Input: host address count (1..3), max_count, then replies: a source
// address byte, the index of the host it answers, and a length-prefixed run.

#include "control/discovery.h"
#include "fake_net.h"
#include "fuzz_io.h"

namespace {

const char* const kHosts[] = {"127.0.0.1", "127.0.0.3", "127.0.0.4"};

struct Reply {
    std::uint8_t source;
    std::uint8_t host;
    std::vector<std::uint8_t> bytes;
};

std::mutex gMutex;
std::vector<Reply> gReplies;
std::set<std::string> gValidSenders;

std::string sourceIp(std::uint8_t b) { return "127.0.1." + std::to_string(b % 8); }

void onSend(orb::net::Socket s, const std::uint8_t*, std::size_t, const orb::net::Endpoint&) {
    orb::net::Endpoint local;
    if (!orb::net::localEndpoint(s, local)) return;
    const std::string host = orb::net::formatIPv4(local.addr);
    std::lock_guard<std::mutex> lk(gMutex);
    for (const Reply& r : gReplies) {
        if (host != kHosts[r.host % 3]) continue;
        orbfuzz::queueDatagram(s, r.bytes, orb::net::makeEndpoint(sourceIp(r.source).c_str(), 50660));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orbfuzz::Reader in(data, size);
    const int hosts = 1 + in.u8() % 3;
    const std::uint16_t maxCount = static_cast<std::uint16_t>(1 + in.u8() % 8);
    {
        std::lock_guard<std::mutex> lk(gMutex);
        gReplies.clear();
        gValidSenders.clear();
        for (int i = 0; i < 32 && !in.empty(); ++i) {
            Reply r;
            r.source = in.u8();
            r.host = in.u8();
            r.bytes = in.run();
            if (r.host % 3 < hosts && orb::isDiscoveryReply(r.bytes.data(), r.bytes.size()))
                gValidSenders.insert(sourceIp(r.source) + "/" + kHosts[r.host % 3]);
            gReplies.push_back(std::move(r));
        }
    }
    orbfuzz::setLocalAddresses(std::vector<std::string>(kHosts, kHosts + hosts));
    orbfuzz::setSendHook(onSend);

    ZelOrbFoundDevice found[9];
    orbtest::fillPattern(found, sizeof found);
    std::int32_t count = -2;
    const bool ok = ZelOrbActiveFindDevice(found, maxCount, &count);
    orbfuzz::resetHooks();

    FUZZ_CHECK(ok);
    FUZZ_CHECK(count >= 0 && count <= maxCount);
    std::set<std::string> pairs;
    for (std::int32_t i = 0; i < count; ++i) {
        FUZZ_CHECK(std::memchr(found[i].dev_ip, 0, sizeof found[i].dev_ip) != nullptr);
        FUZZ_CHECK(std::memchr(found[i].host_ip, 0, sizeof found[i].host_ip) != nullptr);
        const std::string key = std::string(found[i].dev_ip) + "/" + found[i].host_ip;
        FUZZ_CHECK(pairs.insert(key).second);
        FUZZ_CHECK(gValidSenders.count(key) == 1);
    }
    FUZZ_CHECK(orbtest::holdsPattern(found + count, sizeof found - count * sizeof *found));
    return 0;
}
