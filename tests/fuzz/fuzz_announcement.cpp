// Device announcements: parseAnnouncement on each datagram, and the passive
// search over the same datagrams arriving on its listening socket (served by
// the in-memory socket layer). Holds: a parse leaves the record alone unless
// it succeeds, every text it fills is NUL-terminated within its field, and
// the passive search reports at most 15 devices, each with valid addresses,
// none twice.
//
// Input: datagrams as length-prefixed runs.

#include "control/discovery.h"
#include "core/ipv4.h"
#include "device/context.h"
#include "fake_net.h"
#include "fuzz_io.h"

namespace {

std::mutex gMutex;
std::vector<std::vector<std::uint8_t>> gDatagrams;

void onBind(orb::net::Socket s, const orb::net::Endpoint& local) {
    if (local.port != orb::kAnnouncementPort) return;
    std::lock_guard<std::mutex> lk(gMutex);
    for (const auto& d : gDatagrams) orbfuzz::queueDatagram(s, d, orb::net::makeEndpoint("127.0.0.2", 6607));
}

bool terminated(const char* field, std::size_t size) { return std::memchr(field, 0, size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orbfuzz::Reader in(data, size);
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (int i = 0; i < 64 && !in.empty(); ++i) {
        std::vector<std::uint8_t> d = in.run();
        if (d.size() > orb::kAnnouncementMaxSize) d.resize(orb::kAnnouncementMaxSize);  // the receive size
        datagrams.push_back(std::move(d));
    }

    for (const auto& d : datagrams) {
        ZelOrbNetInfo info;
        orbtest::fillPattern(&info, sizeof info);
        const bool ok = orb::parseAnnouncement(d.data(), d.size(), info);
        FUZZ_CHECK(ok ? terminated(info.lidar_ip, sizeof info.lidar_ip) && terminated(info.host_ip, sizeof info.host_ip)
                      : orbtest::holdsPattern(&info, sizeof info));
    }

    {
        std::lock_guard<std::mutex> lk(gMutex);
        gDatagrams = datagrams;
    }
    orbfuzz::setBindHook(onBind);
    std::int32_t count = -2;
    ZelOrbNetInfo* found = ZelOrbPassiveFindDevice("127.0.0.1", &count);
    orbfuzz::resetHooks();
    FUZZ_CHECK(found != nullptr);
    FUZZ_CHECK(count >= 0 && count <= 15);
    std::set<std::string> seen;
    for (std::int32_t i = 0; i < count; ++i) {
        FUZZ_CHECK(terminated(found[i].lidar_ip, sizeof found[i].lidar_ip));
        FUZZ_CHECK(orb::isValidIPv4(found[i].lidar_ip) && orb::isValidIPv4(found[i].host_ip));
        FUZZ_CHECK(seen.insert(found[i].lidar_ip).second);
    }
    return 0;
}
