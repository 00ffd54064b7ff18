#include "control/discovery.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "control/command.h"
#include "control/crc8.h"
#include "core/bytes.h"
#include "core/deadline.h"
#include "core/diagnostics.h"
#include "core/ipv4.h"
#include "platform/net.h"

namespace orb {

namespace {

// Announcement layout.
constexpr std::uint8_t kAnnouncementType = 9;
constexpr std::size_t kAnnouncementHeader = 10;
constexpr std::size_t kEntryHeader = 12;
constexpr std::size_t kKeySize = 8;
constexpr std::size_t kTextLimit = 39;
constexpr std::size_t kFoundTextLimit = 21;
constexpr std::size_t kDiscoveryReceiveSize = 65535;
constexpr int kWorkerPollMs = 50;  // how soon a worker notices that max_count was reached elsewhere
constexpr int kPassiveCountdown = 20;
constexpr int kPassiveEmptyPauseMs = 200;
constexpr int kPassiveReceiveBuffer = 0x40000000;
constexpr std::size_t kAtStatus = 5;

class SocketCloser {
public:
    explicit SocketCloser(net::Socket s) : s_(s) {}
    ~SocketCloser() {
        if (s_ != net::kInvalidSocket) net::closeSocket(s_);
    }
    SocketCloser(const SocketCloser&) = delete;
    SocketCloser& operator=(const SocketCloser&) = delete;

private:
    net::Socket s_;
};

void copyText(char* field, std::size_t fieldSize, const std::string& text, std::size_t limit) {
    const std::size_t n = std::min({text.size(), limit, fieldSize - 1});
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

struct ActiveSearch {
    DiscoveryState* state = nullptr;
    ZelOrbFoundDevice* devices = nullptr;
    std::uint16_t maxCount = 0;
    std::atomic<std::uint16_t> found{0};
    std::atomic<bool> done{false};
    std::mutex mutex;  // records and messages
};

// Stores a reply's sender unless the same device was already found from the
// same host address. False when the search is complete.
bool record(ActiveSearch& search, const std::string& devIp, const std::string& hostIp, bool& added) {
    std::lock_guard<std::mutex> lk(search.mutex);
    added = false;
    std::uint16_t found = search.found.load();
    if (found >= search.maxCount) return false;
    for (std::uint16_t i = 0; i < found; ++i) {
        if (devIp == search.devices[i].dev_ip && hostIp == search.devices[i].host_ip) return true;
    }
    ZelOrbFoundDevice rec{};
    copyText(rec.dev_ip, sizeof rec.dev_ip, devIp, kFoundTextLimit);
    copyText(rec.host_ip, sizeof rec.host_ip, hostIp, kFoundTextLimit);
    search.devices[found] = rec;
    found = static_cast<std::uint16_t>(search.found.fetch_add(1) + 1);
    added = true;
    return found < search.maxCount;
}

void activeWorker(ActiveSearch& search, const std::string& hostIp, std::uint16_t port) {
    auto fail = [&](const std::string& text) {
        std::lock_guard<std::mutex> lk(search.mutex);
        search.state->setMessage(text);
    };
    const net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket) return fail("Find device -> init socket error");
    SocketCloser closer(s);
    const std::vector<std::uint8_t> request = buildDiscoveryRequest();
    if (!net::setBroadcast(s)) return fail("Find device -> init broadcast:" + net::lastErrorText());
    if (!net::bindTo(s, hostIp.c_str(), port)) return fail("Find device -> bind addr:" + net::lastErrorText());
    if (!net::setRecvTimeoutMs(s, kDiscoveryReceiveTimeoutMs))
        return fail("Find device -> set timeout:" + net::lastErrorText());
    const net::Endpoint broadcast = net::makeEndpoint("255.255.255.255", kCommandPort);
    if (net::sendTo(s, request.data(), request.size(), broadcast) != static_cast<int>(request.size()))
        return fail("Find device -> send data pack:" + net::lastErrorText());

    net::Endpoint local;
    const std::string where = net::localEndpoint(s, local)
                                  ? net::formatIPv4(local.addr) + ":" + std::to_string(local.port)
                                  : std::string(" invalid info");
    {
        std::lock_guard<std::mutex> lk(search.mutex);
        printDiagnostic(DiagnosticStream::Out, "Find device -> init socket ! %s\n", where.c_str());
        search.state->setMessage("Find device -> init socket ! " + where);
    }

    std::vector<std::uint8_t> buf(kDiscoveryReceiveSize);
    SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(kDiscoveryReceiveTimeoutMs);
    while (!search.done.load()) {
        const int left = msUntil(deadline);
        if (left <= 0) break;
        if (!net::waitReadable(s, std::min(left, kWorkerPollMs))) continue;
        net::Endpoint from;
        const int n = net::recvFrom(s, buf.data(), buf.size(), &from);
        if (n < 0) break;
        search.state->recorder().capture(from, local, buf.data(), static_cast<std::size_t>(n));
        if (!isDiscoveryReply(buf.data(), static_cast<std::size_t>(n))) continue;
        bool added = false;
        const bool more = record(search, net::formatIPv4(from.addr), hostIp, added);
        if (!more) {
            search.done.store(true);
            break;
        }
        if (added) deadline = SteadyClock::now() + std::chrono::milliseconds(kDiscoveryReceiveTimeoutMs);
    }
}

void printSystemError(const char* text) {
    printDiagnostic(DiagnosticStream::Err, "%s: %s\n", text, net::lastErrorText().c_str());
}

}  // namespace

std::string DiscoveryState::message() {
    std::lock_guard<std::mutex> lk(messageMutex_);
    return message_;
}

void DiscoveryState::setMessage(const std::string& text) {
    std::lock_guard<std::mutex> lk(messageMutex_);
    message_ = text;
}

std::vector<std::uint8_t> buildDiscoveryRequest() {
    RequestBuffer req(kDiscoveryCommand, kFrameTypeDiscovery);
    return std::vector<std::uint8_t>(req.data(), req.data() + req.size());
}

bool isDiscoveryReply(const std::uint8_t* data, std::size_t n) {
    if (!data || n < kCommandFrameOverhead) return false;
    return validateReplyChain(data, n, kDiscoveryCommand) && data[kAtStatus] != 0;
}

bool parseAnnouncement(const std::uint8_t* data, std::size_t n, ZelOrbNetInfo& out) {
    if (!data || n < kAnnouncementHeader) return false;
    if (data[0] != 0x5A || data[1] != 0xA5 || data[3] != kAnnouncementType) return false;
    if (crc8(data, 6) != data[6] || crc8(data + 8, n - 8) != data[7]) return false;

    ZelOrbNetInfo info{};
    const unsigned entries = data[9];
    std::size_t pos = kAnnouncementHeader;
    for (unsigned e = 0; e < entries; ++e) {
        if (n - pos < kEntryHeader) break;
        const std::size_t len = data[pos + 3];
        if (n - pos - kEntryHeader < len) break;
        const char* keyBytes = reinterpret_cast<const char*>(data + pos + 4);
        const std::string key(keyBytes, strnlen(keyBytes, kKeySize));
        const std::uint8_t* value = data + pos + kEntryHeader;
        if (key == "module" || key == "server") {
            const std::string text(reinterpret_cast<const char*>(value),
                                   strnlen(reinterpret_cast<const char*>(value), len));
            if (key == "module")
                copyText(info.lidar_ip, sizeof info.lidar_ip, text, kTextLimit);
            else
                copyText(info.host_ip, sizeof info.host_ip, text, kTextLimit);
        } else if ((key == "port" || key == "lport") && len > 0) {
            // A one-byte value is the port's low byte.
            const std::uint16_t port = len > 1 ? bytes::readLe16(value) : value[0];
            if (key == "port")
                info.host_port = port;
            else
                info.lidar_port = port;
        }
        pos += kEntryHeader + len;
    }
    out = info;
    return true;
}

std::vector<std::string> discoveryHostAddresses() { return net::hostIPv4Addresses(); }

bool activeFind(DiscoveryState& state, ZelOrbFoundDevice* devices, std::uint16_t maxCount, std::int32_t* count) {
    if (!count) return false;
    *count = -1;
    if (maxCount == 0) {
        state.setMessage("Find device -> error max search count!");
        return false;
    }
    if (!devices) return false;

    std::vector<std::string> hosts = discoveryHostAddresses();
    std::uint16_t port = 0;  // any local port
    if (hosts.empty()) {
        // No usable interface address: let the system pick the way out.
        hosts.push_back("0.0.0.0");
    }
    ActiveSearch search;
    search.state = &state;
    search.devices = devices;
    search.maxCount = maxCount;
    std::vector<std::thread> workers;
    workers.reserve(hosts.size());
    try {
        for (const std::string& host : hosts)
            workers.emplace_back([&search, host, port] { activeWorker(search, host, port); });
    } catch (...) {
        search.done.store(true);
        for (auto& w : workers) w.join();
        throw;
    }
    for (auto& w : workers) w.join();
    *count = search.found.load();
    return true;
}

ZelOrbNetInfo* passiveFind(DiscoveryState& state, const char* localIp, std::int32_t* count) {
    ZelOrbNetInfo* const records = state.passiveRecords_;
    if (count) *count = -1;
    if (!localIp || !*localIp || !count) {
        printDiagnostic(DiagnosticStream::Out, "strLocalIp or targetPort is null\n");
        return records;
    }
    const net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket) {
        printSystemError("socket error!");
        return records;
    }
    SocketCloser closer(s);
    net::setNonBlocking(s, true);
    if (!net::setRecvBuffer(s, kPassiveReceiveBuffer)) printSystemError("socket option  SO_RCVBUF not support");
    // Lets concurrent listeners (other calls, other programs) share the port.
    net::setReuseAddr(s);
    if (!net::bindTo(s, "0.0.0.0", kAnnouncementPort)) {
        printSystemError("bind error!");
        return records;
    }
    if (!net::joinMulticast(s, kAnnouncementGroup, localIp)) {
        printDiagnostic(DiagnosticStream::Out, "IP_ADD_MEMBERSHIP failed!\n");
        return records;
    }

    std::vector<ZelOrbNetInfo> found;
    std::set<std::string> seen;
    std::vector<std::uint8_t> buf(kAnnouncementMaxSize);
    // Recorded as sent to the interface's address: the socket does not tell the group.
    const net::Endpoint local = net::makeEndpoint(localIp, kAnnouncementPort);
    for (int countdown = kPassiveCountdown; countdown > 0;) {
        --countdown;
        net::Endpoint from;
        const int n = net::recvFrom(s, buf.data(), buf.size(), &from);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPassiveEmptyPauseMs));
            continue;
        }
        state.recorder().capture(from, local, buf.data(), static_cast<std::size_t>(n));
        ZelOrbNetInfo info{};
        if (!parseAnnouncement(buf.data(), static_cast<std::size_t>(n), info)) continue;
        if (!seen.insert(info.lidar_ip).second) continue;
        if (isValidIPv4(info.lidar_ip) && isValidIPv4(info.host_ip)) found.push_back(info);
        countdown = kPassiveCountdown;
    }

    const std::size_t n = std::min(found.size(), kPassiveResultCapacity);
    std::lock_guard<std::mutex> lk(state.passiveMutex_);
    std::copy(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(n), records);
    *count = static_cast<std::int32_t>(n);
    return records;
}

}  // namespace orb
