// The command exchange against a scripted device on loopback: retries,
// chained replies, status mapping, source filtering and serialisation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "device/context.h"
#include "control/command.h"
#include "control/control_endpoint.h"
#include "platform/net.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kHost = "127.0.0.1";

// Reply frame written from the byte table, independent of the library's encoder.
Bytes frame(std::uint16_t cmd, std::uint8_t status, const Bytes& payload, std::uint16_t count = 1) {
    Bytes f = {0xA5, 0x5A, 0xAA, 0x55, 0x3F, status,
               static_cast<std::uint8_t>(cmd >> 8), static_cast<std::uint8_t>(cmd),
               static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0x00, 0x01,
               static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    f.insert(f.end(), {0x5A, 0xA5, 0x55, 0xAA});
    return f;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A device at ip:50660 that answers each request with what the script returns
// (the n-th request, 0-based; an empty list means silence).
class ScriptedDevice {
public:
    using Script = std::function<std::vector<Bytes>(const Bytes& request, int n)>;

    ScriptedDevice(const char* ip, Script script) : script_(std::move(script)) {
        sock_ = orb::net::udpSocket();
        orb::net::setReuseAddr(sock_);
        bound_ = orb::net::bindTo(sock_, ip, 50660);
        orb::net::setRecvTimeoutMs(sock_, 20);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedDevice() {
        stop_ = true;
        thread_.join();
        orb::net::closeSocket(sock_);
    }
    bool bound() const { return bound_; }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> l(m_);
        return requests_;
    }
    std::vector<Clock::time_point> times() {
        std::lock_guard<std::mutex> l(m_);
        return times_;
    }

private:
    void run() {
        std::vector<std::uint8_t> buf(65535);
        while (!stop_) {
            orb::net::Endpoint from;
            int n = orb::net::recvFrom(sock_, buf.data(), buf.size(), &from);
            if (n <= 0) continue;
            Bytes req(buf.begin(), buf.begin() + n);
            int index;
            {
                std::lock_guard<std::mutex> l(m_);
                index = static_cast<int>(requests_.size());
                requests_.push_back(req);
                times_.push_back(Clock::now());
            }
            for (const Bytes& d : script_(req, index)) orb::net::sendTo(sock_, d.data(), d.size(), from);
        }
    }

    Script script_;
    orb::net::Socket sock_;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::vector<Bytes> requests_;
    std::vector<Clock::time_point> times_;
    std::thread thread_;
};

std::uint16_t cmdOf(const Bytes& req) { return static_cast<std::uint16_t>(req[6] << 8 | req[7]); }

class CommandExchangeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(orb::libraryContext().control.open(kHost)); }
    static void TearDownTestSuite() { orb::libraryContext().control.close(); }

    static void target(orb::ControlEndpoint& ep, const char* ip) { ep.deviceControl = orb::net::makeEndpoint(ip, 50660); }
};

TEST_F(CommandExchangeTest, ReplyStatusMapsToResult) {
    // Status 0, 1 and 2 are success; 3..255 are returned as they are.
    struct Case {
        std::uint8_t status;
        std::uint8_t expect;
    } cases[] = {{0, 0}, {1, 0}, {2, 0}, {3, 3}, {5, 5}, {255, 255}};
    for (const Case& c : cases) {
        ScriptedDevice dev("127.0.0.2", [&](const Bytes& r, int) { return std::vector<Bytes>{frame(cmdOf(r), c.status, {7})}; });
        ASSERT_TRUE(dev.bound());
        orb::ControlEndpoint ep(orb::libraryContext().control);
        target(ep, "127.0.0.2");
        orb::RequestBuffer req(0x0304);
        orb::ReplyBuffer reply;
        EXPECT_EQ(orb::commandExchange(ep, req, &reply), c.expect) << "status " << int(c.status);
        // One request normally; a loaded machine may miss the 300 ms window once.
        EXPECT_GE(dev.requests().size(), 1u);
        EXPECT_LE(dev.requests().size(), 3u);
        ASSERT_EQ(reply.payloadLength(), 1u);
        EXPECT_EQ(reply.payload()[0], 7);
    }
}

TEST_F(CommandExchangeTest, RequestBytesOnTheWire) {
    ScriptedDevice dev("127.0.0.2", [](const Bytes& r, int) { return std::vector<Bytes>{frame(cmdOf(r), 0, {})}; });
    orb::ControlEndpoint ep(orb::libraryContext().control);
    target(ep, "127.0.0.2");
    orb::RequestBuffer req(0x0128);
    const std::uint8_t p[] = {0x03, 0xE8, 0x00, 0x32};
    req.setPayload(p, sizeof p);
    EXPECT_EQ(orb::commandExchange(ep, req, nullptr), 0);
    auto rs = dev.requests();
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0], (Bytes{0xA5, 0x5A, 0xAA, 0x55, 0x3F, 0x00, 0x01, 0x28, 0x00, 0x01, 0x00, 0x01, 0x00, 0x04, 0x03,
                            0xE8, 0x00, 0x32, 0x5A, 0xA5, 0x55, 0xAA}));
}

TEST_F(CommandExchangeTest, WrongCommandCodeIsDroppedAndResentAtOnce) {
    ScriptedDevice dev("127.0.0.2", [](const Bytes& r, int n) {
        return std::vector<Bytes>{n == 0 ? frame(0x0999, 0, {1}) : frame(cmdOf(r), 0, {2})};
    });
    orb::ControlEndpoint ep(orb::libraryContext().control);
    target(ep, "127.0.0.2");
    orb::ReplyBuffer reply;
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), &reply), 0);
    auto ts = dev.times();
    ASSERT_EQ(ts.size(), 2u);
    // No 50 ms pause before the resend (generous bound for loaded machines).
    EXPECT_LT(ts[1] - ts[0], std::chrono::milliseconds(45));
    ASSERT_EQ(reply.payloadLength(), 1u);
    EXPECT_EQ(reply.payload()[0], 2);
}

TEST_F(CommandExchangeTest, SplitChainIsAppendedAndGetterSeesTheWholeChain) {
    // Two chained frames; the first request gets only the first, the resend
    // gets the second. The getter must decode the first frame's payload.
    const Bytes f1 = frame(0x0306, 2, {0x00, 0x0A, 0x00, 0x0B}, 2);
    const Bytes f2 = frame(0x0306, 0, {0x00, 0x0C}, 2);
    ScriptedDevice dev("127.0.0.2", [&](const Bytes&, int n) { return std::vector<Bytes>{n == 0 ? f1 : f2}; });
    orb::ControlEndpoint ep(orb::libraryContext().control);
    target(ep, "127.0.0.2");
    orb::ReplyBuffer reply;
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0306), &reply), 0);
    auto ts = dev.times();
    ASSERT_EQ(ts.size(), 2u);
    EXPECT_GE(ts[1] - ts[0], std::chrono::milliseconds(45));  // the 50 ms pause before resending
    EXPECT_EQ(reply.length(), f1.size() + f2.size());
    EXPECT_EQ(Bytes(reply.data(), reply.data() + reply.length()), concat(f1, f2));
    ASSERT_EQ(reply.payloadLength(), 4u);
    EXPECT_EQ(reply.payload()[1], 0x0A);
    EXPECT_EQ(reply.payload()[3], 0x0B);
}

TEST_F(CommandExchangeTest, SilenceGivesFourAfterThreeAttempts) {
    ScriptedDevice dev("127.0.0.2", [](const Bytes&, int) { return std::vector<Bytes>{}; });
    orb::ControlEndpoint ep(orb::libraryContext().control);
    target(ep, "127.0.0.2");
    orb::ReplyBuffer reply;
    const auto t0 = Clock::now();
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), &reply), 4);
    const auto took = Clock::now() - t0;
    EXPECT_EQ(dev.requests().size(), 3u);
    EXPECT_GE(took, std::chrono::milliseconds(3 * 300 + 3 * 50 - 20));
    EXPECT_EQ(reply.length(), 0u);
}

TEST_F(CommandExchangeTest, RepliesFromOtherAddressesAreIgnored) {
    // An impostor at 127.0.0.3 answers every request to 127.0.0.2 at once and
    // with the right command code; the device itself answers a little later.
    struct OwnedSocket {
        orb::net::Socket s = orb::net::udpSocket();
        ~OwnedSocket() { orb::net::closeSocket(s); }
    } owned;  // outlives the device thread that sends from it
    const orb::net::Socket impostor = owned.s;
    ASSERT_TRUE(orb::net::bindTo(impostor, "127.0.0.3", 50660));
    const orb::net::Endpoint hostCtl = orb::net::makeEndpoint(kHost, 50660);
    ScriptedDevice dev("127.0.0.2", [&](const Bytes& r, int) {
        Bytes fake = frame(cmdOf(r), 9, {0xEE});
        orb::net::sendTo(impostor, fake.data(), fake.size(), hostCtl);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return std::vector<Bytes>{frame(cmdOf(r), 0, {0x11})};
    });
    orb::ControlEndpoint ep(orb::libraryContext().control);
    target(ep, "127.0.0.2");
    orb::ReplyBuffer reply;
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), &reply), 0);
    EXPECT_EQ(dev.requests().size(), 1u);
    ASSERT_EQ(reply.payloadLength(), 1u);
    EXPECT_EQ(reply.payload()[0], 0x11);
}

TEST_F(CommandExchangeTest, LateReplyOfAnEarlierExchangeDoesNotAnswerTheNextOne) {
    // The third attempt of the first exchange is answered only after that
    // exchange gave up; the next exchange of the same command must not take
    // that stale reply for its own.
    ScriptedDevice dev("127.0.0.2", [](const Bytes& r, int n) {
        if (n < 2) return std::vector<Bytes>{};
        if (n == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            return std::vector<Bytes>{frame(cmdOf(r), 0, {0xAA})};
        }
        return std::vector<Bytes>{frame(cmdOf(r), 0, {0xCC})};
    });
    orb::ControlEndpoint ep(orb::libraryContext().control);
    target(ep, "127.0.0.2");
    orb::ReplyBuffer reply;
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), &reply), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the stale reply is queued now
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), &reply), 0);
    ASSERT_EQ(reply.payloadLength(), 1u);
    EXPECT_EQ(reply.payload()[0], 0xCC);
}

TEST_F(CommandExchangeTest, ConcurrentExchangesNeverSwapReplies) {
    // Two devices answer the same command code with their own byte; many
    // exchanges from two threads must each get their own device's answer.
    auto answer = [](std::uint8_t tag) {
        return [tag](const Bytes& r, int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return std::vector<Bytes>{frame(cmdOf(r), 0, {tag})};
        };
    };
    ScriptedDevice a("127.0.0.2", answer(0x02));
    ScriptedDevice b("127.0.0.3", answer(0x03));
    std::atomic<int> wrong{0}, failed{0};
    auto worker = [&](const char* ip, std::uint8_t tag) {
        orb::ControlEndpoint ep(orb::libraryContext().control);
        target(ep, ip);
        for (int i = 0; i < 40; ++i) {
            orb::ReplyBuffer reply;
            if (orb::commandExchange(ep, orb::RequestBuffer(0x0304), &reply) != 0) {
                ++failed;
                continue;
            }
            if (reply.payloadLength() != 1 || reply.payload()[0] != tag) ++wrong;
        }
    };
    std::thread t1(worker, "127.0.0.2", 0x02), t2(worker, "127.0.0.3", 0x03);
    t1.join();
    t2.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
}

TEST(CommandExchangeSocketState, NeverOpenedGivesFourAfterThreeFailedSends) {
    orb::libraryContext().control.close();
    orb::ControlEndpoint ep(orb::libraryContext().control);
    ep.deviceControl = orb::net::makeEndpoint("127.0.0.2", 50660);
    const auto t0 = Clock::now();
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), nullptr), 4);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(140));  // three 50 ms pauses
}

TEST(CommandExchangeSocketState, FailedOpeningGivesThirtyThreeUntilReopened) {
    // 192.0.2.1 is not a local address: binding it fails.
    EXPECT_FALSE(orb::libraryContext().control.open("192.0.2.1"));
    orb::ControlEndpoint ep(orb::libraryContext().control);
    ep.deviceControl = orb::net::makeEndpoint("127.0.0.2", 50660);
    const auto t0 = Clock::now();
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), nullptr), 33);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_FALSE(orb::libraryContext().control.open(nullptr));
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), nullptr), 33);
    ASSERT_TRUE(orb::libraryContext().control.open(kHost));
    ScriptedDevice dev("127.0.0.2", [](const Bytes& r, int) { return std::vector<Bytes>{frame(cmdOf(r), 0, {})}; });
    EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), nullptr), 0);
    orb::libraryContext().control.close();
}

}  // namespace
