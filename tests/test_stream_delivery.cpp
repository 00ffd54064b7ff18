// Frame assembly, publication and the retrieval calls, without the network:
// datagrams are handed to a device record directly, on the test thread or
// through the device's own packet and frame threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/context.h"
#include "orb_sdk.h"
#include "pointcloud_streamer.h"
#include "scene.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"
#include "support/packet_builder.h"
#include "support/stream_harness.h"

namespace {

using orbtest::Frame;
using orbtest::PacketBuilder;
using Rows = ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS];
Rows rows(Frame& f) { return reinterpret_cast<Rows>(f.data()); }

// A registered record whose threads are not started: the test plays the
// packet thread and the frame thread itself.
class Manual {
public:
    explicit Manual(const char* ip, std::uint8_t mode = 3) : ip_(ip) {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        auto rec = std::make_unique<orb::DeviceRecord>(ip, 7000);
        rec->stream.processingMode = mode;
        rec->stream.running = true;  // publications raise the ready flags
        dev_ = rec.get();
        reg.devices()[ip] = std::move(rec);
    }
    ~Manual() {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        reg.devices().erase(ip_);
    }
    orb::DeviceRecord& dev() { return *dev_; }
    orb::StreamState& st() { return dev_->stream; }
    void feed(const PacketBuilder& b) { orb::handlePacket(dev_->stream, b.data(), b.size()); }
    void feed(const std::vector<std::uint8_t>& d) { orb::handlePacket(dev_->stream, d.data(), d.size()); }
    // Packet counts of the frames completed so far (popped).
    std::vector<std::size_t> drainFrames() {
        std::vector<std::size_t> sizes;
        orb::PacketListPtr l;
        while (st().frameQueue.tryPop(l)) sizes.push_back(l->packets.size());
        return sizes;
    }
    // Processes every completed frame in order.
    int processAll() {
        int n = 0;
        orb::PacketListPtr l;
        while (st().frameQueue.tryPop(l)) {
            orb::processFrame(dev_->stream, *l);
            ++n;
        }
        return n;
    }
    const std::string& ip() const { return ip_; }

private:
    std::string ip_;
    orb::DeviceRecord* dev_;
};

// A packet of 4 records in row n % 150 (distances and raw x from 100 + n).
PacketBuilder numbered(std::uint16_t n, std::uint8_t tag = 1) {
    PacketBuilder b(1, 2, n, static_cast<std::uint16_t>(n % 150), 0, 1, 4, tag);
    b.fill10(4, static_cast<std::uint16_t>(100 + n));
    return b;
}

TEST(FrameBoundary, MergesWhileNumbersDoNotDropAndSplitsWhenTheyDo) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> numbers;
        std::vector<std::size_t> frames;  // completed frames' packet counts
        std::size_t collecting;
    };
    const std::vector<Case> cases = {
        {"one frame closed by the next", {0, 1, 2, 0}, {3}, 1},
        {"restart not below the last number merges", {0, 1, 2, 3, 3, 4, 5, 0}, {7}, 1},
        {"out-of-order packet splits", {0, 1, 3, 2, 4, 0}, {3, 2}, 1},
        {"duplicates stay in the frame", {0, 1, 1, 2, 0, 0}, {4}, 2},
        {"no frame before the first drop", {5, 6, 7}, {}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Manual m("127.0.0.50");
        for (auto n : c.numbers) m.feed(numbered(n));
        EXPECT_EQ(m.drainFrames(), c.frames);
        ASSERT_TRUE(m.st().collecting);
        EXPECT_EQ(m.st().collecting->packets.size(), c.collecting);
    }
}

TEST(FrameBoundary, PacketListOfAFrameIsCapped) {
    Manual m("127.0.0.50");
    const std::size_t extra = 100;
    for (std::size_t i = 0; i < orb::kMaxPacketsPerFrame + extra; ++i) m.feed(numbered(0));
    EXPECT_TRUE(m.drainFrames().empty());
    EXPECT_EQ(m.st().collecting->packets.size(), orb::kMaxPacketsPerFrame);
    EXPECT_EQ(m.st().stats.packetsOverFrameCap.load(), extra);
    // A drop still closes the capped frame.
    m.feed(numbered(5));
    m.feed(numbered(1));
    EXPECT_EQ(m.drainFrames(), std::vector<std::size_t>{orb::kMaxPacketsPerFrame});
}

TEST(FrameBoundary, StalledFrameThreadQueuesAtMost255Frames) {
    Manual m("127.0.0.50");
    for (int i = 0; i < 300; ++i) {
        m.feed(numbered(1));
        m.feed(numbered(0));  // closes the frame before it
    }
    // Every 0 closes the frame before it.
    EXPECT_EQ(m.st().stats.framesCompleted.load(), 300u);
    EXPECT_EQ(m.st().stats.framesDroppedQueueFull.load(), 300u - 255u);
    EXPECT_EQ(m.drainFrames().size(), 255u);
}

TEST(FrameDecode, EachFrameUsesTheFormatOfItsOwnPackets) {
    Manual m("127.0.0.51");
    // Frame 1 in format 4, frame 2 (which closes it) in format 22.
    m.feed(PacketBuilder(1, 0, 0, 0, 0, 1, 4, 1).rec4(11, 1).rec4(12, 1).rec4(13, 1).rec4(14, 1));
    m.feed(PacketBuilder(1, 0, 1, 1, 0, 1, 4, 1).rec4(21, 1).rec4(22, 1).rec4(23, 1).rec4(24, 1));
    m.feed(PacketBuilder(1, 5, 0, 0, 0, 1, 1, 2).rec22(500, 5, 5, 5, 9));
    ASSERT_EQ(m.processAll(), 1);
    Frame f;
    ASSERT_TRUE(orbtest::pollFrame(m.ip(), f, std::chrono::milliseconds(100)));
    EXPECT_EQ(f[0].distance, 11.0f);
    EXPECT_EQ(f[3].distance, 14.0f);
    EXPECT_EQ(f[360 + 2].distance, 23.0f);
    EXPECT_EQ(f[0].x, 0.0f);
    EXPECT_EQ(m.st().pointFormatCode.load(), 22u);
}

std::atomic<int> gCallbackA{0}, gCallbackB{0};
std::atomic<int> gInsideGet{0}, gInsideDual{0}, gInsideRegister{0};
std::atomic<float> gCallbackFirstX{0};
const char* gCallbackIp = "127.0.0.52";

void callbackA(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    gCallbackFirstX = frame[0][0].x;
    ++gCallbackA;
}
void callbackB(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) { ++gCallbackB; }
void callbackCallsBack(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
    static Frame a(ZEL_ORB_FRAME_POINTS), b(ZEL_ORB_FRAME_POINTS);
    gInsideGet = ZelOrbGetPointCloud(gCallbackIp, rows(a));
    gInsideDual = ZelOrbGetDualEchoPointCloud(gCallbackIp, rows(a), rows(b));
    gInsideRegister = ZelOrbRegisterCallbackUpdateFrame(gCallbackIp, callbackB);
}

TEST(FrameDelivery, SingleEchoFrameIsTakenOnceAndReachesTheCallback) {
    Manual m(gCallbackIp);
    Frame out(ZEL_ORB_FRAME_POINTS, ZelOrbPointData{}), second(ZEL_ORB_FRAME_POINTS);
    EXPECT_EQ(ZelOrbGetPointCloud(m.ip().c_str(), rows(out)), RC_GET_DATA_FAILED);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), callbackA), RC_OK);
    gCallbackA = 0;
    m.feed(numbered(0));
    m.feed(numbered(1));
    m.feed(numbered(0));
    ASSERT_EQ(m.processAll(), 1);
    EXPECT_EQ(gCallbackA.load(), 1);
    EXPECT_EQ(gCallbackFirstX.load(), 100 / 5.0f);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(m.ip().c_str(), rows(out), rows(second)), RC_GET_DATA_FAILED);
    EXPECT_EQ(ZelOrbGetPointCloud(m.ip().c_str(), rows(out)), RC_OK);
    EXPECT_EQ(out[0].distance, 100.0f);
    EXPECT_EQ(ZelOrbGetPointCloud(m.ip().c_str(), rows(out)), RC_GET_DATA_FAILED);
}

TEST(FrameDelivery, DualEchoFramePublishesBothEchoesWithoutCallback) {
    Manual m("127.0.0.54", 7);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), callbackB), RC_OK);
    gCallbackB = 0;
    PacketBuilder b(13, 2, 0, 0, 0, 1, 8, 3);
    for (int i = 0; i < 8; ++i) b.rec10(static_cast<std::uint16_t>(10 + i), 0, 0, 0, 1);
    m.feed(b);
    m.feed(numbered(5));  // the merged data type 1 packet is not stored in mode 7
    m.feed(PacketBuilder(13, 2, 0, 0, 0, 0, 8));
    ASSERT_EQ(m.processAll(), 1);
    EXPECT_EQ(gCallbackB.load(), 0);
    Frame first(ZEL_ORB_FRAME_POINTS), second(ZEL_ORB_FRAME_POINTS);
    EXPECT_EQ(ZelOrbGetPointCloud(m.ip().c_str(), rows(first)), RC_GET_DATA_FAILED);
    ASSERT_TRUE(orbtest::pollDualFrame(m.ip(), first, second, std::chrono::milliseconds(10)));
    EXPECT_EQ(first[0].distance, 10.0f);
    EXPECT_EQ(second[0].distance, 11.0f);
    EXPECT_EQ(first[3].distance, 16.0f);
    EXPECT_EQ(second[3].distance, 17.0f);
    EXPECT_EQ(first[4].distance, 0.0f);
    EXPECT_FALSE(orbtest::pollDualFrame(m.ip(), first, second, std::chrono::milliseconds(1)));
}

TEST(FrameDelivery, FrameOfAnUndecodedTypeIsStillPublished) {
    Manual m("127.0.0.55", 3);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), callbackB), RC_OK);
    gCallbackB = 0;
    m.feed(PacketBuilder(12, 2, 1, 0, 0, 1, 2).fill10(2, 5));
    m.feed(PacketBuilder(12, 2, 0, 0, 0, 1, 2).fill10(2, 5));
    ASSERT_EQ(m.processAll(), 1);
    EXPECT_EQ(gCallbackB.load(), 1);
    Frame f;
    ASSERT_TRUE(orbtest::pollFrame(m.ip(), f, std::chrono::milliseconds(10)));
    EXPECT_EQ(f[0].tag, 0u);  // unchanged: nothing stored
}

TEST(FrameDelivery, CallbackRegistrationAndArgumentChecks) {
    Manual m("127.0.0.56");
    Frame f(ZEL_ORB_FRAME_POINTS);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame("127.0.0.99", callbackA), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(nullptr, callbackA), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetPointCloud(nullptr, rows(f)), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetPointCloud("127.0.0.99", rows(f)), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbGetPointCloud(m.ip().c_str(), nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(m.ip().c_str(), rows(f), nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud("127.0.0.99", rows(f), rows(f)), RC_DEVICE_NOT_FOUND);

    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), callbackA), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), callbackB), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), nullptr), RC_CALLBACK_REGISTER_FAILED);
    gCallbackA = 0;
    gCallbackB = 0;
    m.feed(numbered(1));
    m.feed(numbered(0));
    ASSERT_EQ(m.processAll(), 1);
    EXPECT_EQ(gCallbackA.load(), 0);
    EXPECT_EQ(gCallbackB.load(), 1);
}

TEST(FrameDelivery, OwnDeviceCallsAreRefusedInsideTheFrameCallback) {
    Manual m(gCallbackIp);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), callbackCallsBack), RC_OK);
    m.feed(numbered(1));
    m.feed(numbered(0));
    ASSERT_EQ(m.processAll(), 1);
    EXPECT_EQ(gInsideGet.load(), RC_GENERAL_ERROR);
    EXPECT_EQ(gInsideDual.load(), RC_GENERAL_ERROR);
    EXPECT_EQ(gInsideRegister.load(), RC_GENERAL_ERROR);
    // Outside the callback the same calls work again.
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(m.ip().c_str(), callbackB), RC_OK);
}

TEST(FrameDelivery, FilterChainActsOnlyOnFreshlyDecodedPoints) {
    Manual m("127.0.0.57");
    m.st().filters.distanceOffset = 10;
    m.st().filters.compensationEnable = true;
    Frame f;
    auto row = [](std::uint16_t number, std::uint16_t r, std::int16_t rawX) {
        PacketBuilder b(1, 2, number, r, 0, 1, 4, 1);
        for (int i = 0; i < 4; ++i) b.rec10(0, rawX, 0, 0, 1);
        return b;
    };
    // Frame 1 fills rows 0 and 1 (x 10 and 20); frame 2 refills row 0 only (x 15).
    m.feed(row(0, 0, 50));
    m.feed(row(1, 1, 100));
    m.feed(row(0, 0, 75));
    m.feed(row(1, 5, 0));
    m.feed(row(0, 6, 0));  // closes frame 2
    ASSERT_EQ(m.processAll(), 2);
    ASSERT_TRUE(orbtest::pollFrame(m.ip(), f, std::chrono::milliseconds(10)));
    EXPECT_EQ(f[360].x, 20.0f + 10.0f) << "compensated once, from the decoded point";
    EXPECT_EQ(f[360].distance, 30.0f);
    EXPECT_EQ(f[1].x, 15.0f + 10.0f);
    // The unfiltered copy keeps the decoded values for fusion.
    std::lock_guard<std::mutex> lock(m.st().streamMutex);
    EXPECT_EQ(m.st().unfilteredFrame[360].x, 20.0f);
}

std::atomic<int> gSixCount{0};
std::atomic<std::uint64_t> gSixTimestamp{0};
std::atomic<int> gSixCheck{0}, gSixInsideGet{0};
std::atomic<int> gSixData0{0};
void sixAxisCallback(ZelOrb6AxisImuData d) {
    static Frame f(ZEL_ORB_FRAME_POINTS);
    gSixTimestamp = d.timestamp;
    gSixCheck = d.check;
    gSixData0 = d.data[0];
    gSixInsideGet = ZelOrbGetPointCloud("127.0.0.58", rows(f));
    ++gSixCount;
}

TEST(SixAxis, DeliveredOnThePacketPathWithTheTimestampScaled) {
    Manual m("127.0.0.58");
    {
        std::lock_guard<std::mutex> lock(m.st().streamMutex);
        m.st().sixAxisCallback = sixAxisCallback;
    }
    std::uint8_t data[26];
    for (int i = 0; i < 26; ++i) data[i] = static_cast<std::uint8_t>(0x40 + i);
    gSixCount = 0;
    m.feed(orbsim::encodeSixAxis(2, 100000000ull, data));
    m.feed(orbsim::encodeSixAxis(0, 5, data));  // check byte refused
    m.feed(orbsim::encodeSixAxis(3, 5, data));
    EXPECT_EQ(gSixCount.load(), 1);
    EXPECT_EQ(gSixTimestamp.load(), 100u);
    EXPECT_EQ(gSixCheck.load(), 2);
    EXPECT_EQ(gSixData0.load(), 0x40);
    EXPECT_EQ(gSixInsideGet.load(), RC_GENERAL_ERROR);
    EXPECT_TRUE(m.drainFrames().empty());
    EXPECT_FALSE(m.st().collecting && !m.st().collecting->packets.empty());
}

TEST(MaximumRange, PicksTheFartherEchoPerPosition) {
    Frame a(ZEL_ORB_FRAME_POINTS), b(ZEL_ORB_FRAME_POINTS), out(ZEL_ORB_FRAME_POINTS);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i].tag = 1;
        b[i].tag = 2;
    }
    a[0].distance = 5;
    b[0].distance = 4;
    a[1].distance = 4;
    b[1].distance = 5;
    a[2].distance = 7;
    b[2].distance = 7;
    a[3].distance = std::numeric_limits<float>::quiet_NaN();
    b[3].distance = 1;
    a[4].distance = 1;
    b[4].distance = std::numeric_limits<float>::quiet_NaN();
    ASSERT_EQ(ZelOrbGetMaximumRangePointCloud(rows(a), rows(b), rows(out)), RC_OK);
    const std::uint64_t want[] = {1, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i].tag, want[i]) << i;
    EXPECT_EQ(ZelOrbGetMaximumRangePointCloud(rows(a), nullptr, rows(out)), RC_INVALID_TARGET);
    // The result may be one of the inputs.
    ASSERT_EQ(ZelOrbGetMaximumRangePointCloud(rows(a), rows(b), rows(a)), RC_OK);
    EXPECT_EQ(a[0].tag, 1u);
    EXPECT_EQ(a[1].tag, 2u);
}

// --- through the device's own threads ------------------------------------

struct Combo {
    std::uint8_t dataType, format, mode;
    bool inverted;
};

TEST(DeviceThreads, SimulatedFramesArriveIntactInEveryTypeFormatAndMode) {
    const Combo combos[] = {{1, 4, 3, false},  {1, 8, 3, false},  {1, 10, 3, false}, {1, 22, 3, false},
                            {1, 10, 3, true},  {1, 22, 3, true},  {12, 10, 4, false}, {14, 10, 8, false},
                            {14, 10, 8, true}, {13, 10, 7, false}, {13, 10, 5, true}};
    auto scene = orbsim::withSecondEcho(
        orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200), 30);
    orbsim::SceneFrame rendered;
    scene->render(0, rendered);
    for (const Combo& c : combos) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.dataType) << " format " << int(c.format) << " mode "
                                        << int(c.mode) << (c.inverted ? " inverted" : ""));
        const std::string ip = "127.0.0.60";
        orb::DeviceRecord& dev = orbtest::attachStreamDevice(ip, 7000, c.mode);
        dev.stream.inverted = c.inverted;
        dev.stream.axisSign = c.inverted ? -1 : 1;
        // Two frames; the first packet of a third closes the second.
        std::vector<orbsim::EncodedFrame> frames;
        for (std::uint64_t k = 0; k < 3; ++k) frames.push_back(orbsim::encodeFrame(rendered, c.dataType, c.format, k, 1000 + k));
        std::size_t pushed = 0;
        for (std::uint64_t k = 0; k < 3; ++k)
            for (const auto& d : frames[k].packets) {
                orb::PacketSlot* s = nullptr;
                for (int tries = 0; tries < 5000 && !(s = dev.stream.packetQueue.reserve()); ++tries)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                ASSERT_NE(s, nullptr);
                s->length = static_cast<std::uint16_t>(d.size());
                std::memcpy(s->bytes, d.data(), d.size());
                dev.stream.packetQueue.commit();
                ++pushed;
                if (k == 2) break;
            }
        // A slow poll may miss frame 0 (only the newest frame is kept): wait for frame 1.
        Frame first, second;
        bool got = false;
        for (int polls = 0; polls < 2 && !got; ++polls) {
            const bool ok = c.dataType == 13 ? orbtest::pollDualFrame(ip, first, second, std::chrono::seconds(5))
                                             : orbtest::pollFrame(ip, first, std::chrono::seconds(5));
            ASSERT_TRUE(ok);
            got = first[orbtest::landingIndex(frames[1].expected, 0, 0, c.inverted, c.dataType == 13)].timestamp == 1001;
        }
        ASSERT_TRUE(got);
        EXPECT_TRUE(orbtest::framesAgree(first, frames[1].expected, c.inverted, dev.stream.axisSign,
                                         c.dataType == 13 ? &second : nullptr));
        EXPECT_TRUE(orbtest::detachStreamDevice(ip));
    }
}

TEST(DeviceThreads, StopWaitsForACallbackInProgress) {
    static std::atomic<bool> inCallback{false}, release{false};
    static std::atomic<int> finished{0};
    struct Cb {
        static void slow(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
            inCallback = true;
            for (int i = 0; i < 2000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ++finished;
        }
    };
    const std::string ip = "127.0.0.61";
    orb::DeviceRecord& dev = orbtest::attachStreamDevice(ip, 7000);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), Cb::slow), RC_OK);
    for (auto n : {1, 0}) {
        auto b = numbered(static_cast<std::uint16_t>(n));
        orb::PacketSlot* s = dev.stream.packetQueue.reserve();
        ASSERT_NE(s, nullptr);
        s->length = static_cast<std::uint16_t>(b.size());
        std::memcpy(s->bytes, b.data(), b.size());
        dev.stream.packetQueue.commit();
    }
    for (int i = 0; i < 5000 && !inCallback; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(inCallback.load());
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release = true;
    });
    EXPECT_TRUE(orbtest::detachStreamDevice(ip));
    EXPECT_EQ(finished.load(), 1) << "the stop returned only after the callback";
    releaser.join();
}

}  // namespace
