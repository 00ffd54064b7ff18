// Guards a device's point-cloud path against lost, reordered, mixed or torn frames: the block queue, frame boundaries and caps, the two decode workers, publication, retrieval and callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <random>

#include "core/device.h"
#include "scene.h"
#include "stream/block_queue.h"
#include "stream/packet.h"
#include "support/harness.h"
#include "support/packet_builder.h"

namespace {

using namespace orbtest;
using orb::BlockQueue;

// ----------------------------------------------------------------- the queue

TEST(BlockQueue, HoldsAtLeastWhatWasAskedInOrderAroundTheRing) {
    for (std::size_t requested : {1, 3, 200, 1023, 1024, 4480}) {
        BlockQueue<int> q(requested);
        EXPECT_GE(q.capacity(), requested);
        for (int round = 0; round < 2; ++round) {
            std::size_t pushed = 0;
            while (q.tryPush(static_cast<int>(pushed))) ++pushed;
            EXPECT_EQ(pushed, q.capacity()) << requested;
            int v = -1;
            for (std::size_t i = 0; i < pushed; ++i) ASSERT_TRUE(q.tryPop(v) && v == static_cast<int>(i));
            EXPECT_FALSE(q.tryPop(v));
        }
    }
    // A failed push keeps a move-only item.
    BlockQueue<std::unique_ptr<int>> one(1);
    ASSERT_TRUE(one.tryPush(std::make_unique<int>(1)));
    auto second = std::make_unique<int>(2);
    EXPECT_FALSE(one.tryPush(std::move(second)));
    ASSERT_TRUE(second && *second == 2);
}

TEST(BlockQueue, MatchesAModelUnderRandomFillAndDrain) {
    std::mt19937 rng(12345);
    BlockQueue<std::uint32_t> q(1500);  // 3 blocks of 512
    std::deque<std::uint32_t> model;
    std::uint32_t next = 0;
    for (int step = 0; step < 40000; ++step) {
        // Bursts, so that the fill level wanders over block edges.
        const bool push = (rng() % 100) < (model.size() < q.capacity() / 2 ? 60u : 40u);
        for (int k = 1 + static_cast<int>(rng() % 700); k > 0; --k) {
            std::uint32_t v;
            if (!push) {
                ASSERT_EQ(q.tryPop(v), !model.empty());
                if (model.empty()) continue;
                ASSERT_EQ(v, model.front());
                model.pop_front();
            } else if (q.tryPush(next)) {
                ASSERT_LT(model.size(), q.capacity());
                model.push_back(next++);
            } else {
                // The producer never enters the consumer's block: a push may
                // fail with up to one block's worth of room left.
                ASSERT_GE(model.size(), q.capacity() - (q.blockSize() - 1));
            }
        }
    }
}

TEST(BlockQueue, InPlaceSlotsStayPutUntilReleasedAndTwoThreadsLoseNothing) {
    BlockQueue<int> small(3);  // one block of 4
    int* a = small.reserve();
    ASSERT_TRUE(a && small.reserve() == a);
    *a = 11;
    EXPECT_EQ(small.peek(), nullptr);  // not visible before commit
    small.commit();
    int* f = small.peek();
    ASSERT_TRUE(f && small.peek() == f && *f == 11);
    ASSERT_TRUE(small.tryPush(12) && small.tryPush(13));
    EXPECT_EQ(small.reserve(), nullptr);  // the peeked slot is not handed out again
    EXPECT_EQ(*f, 11);
    small.release();
    EXPECT_NE(small.reserve(), nullptr);

    // Copy and in-place operations mixed on both sides; the check word
    // catches a slot read before it was written or after it was reused.
    struct Item {
        std::uint64_t seq, check;
    };
    BlockQueue<Item> q(600);
    constexpr std::uint64_t kItems = 200000;
    const auto deadline = Clock::now() + 20s;
    std::thread producer([&] {
        std::mt19937 rng(1);
        for (std::uint64_t i = 0; i < kItems && Clock::now() < deadline;) {
            Item* s = (rng() & 1) ? nullptr : q.reserve();
            const bool ok = s ? (*s = Item{i, ~i}, q.commit(), true) : q.tryPush(Item{i, ~i});
            if (ok) ++i;
            else std::this_thread::yield();
        }
    });
    std::uint64_t expected = 0;
    std::mt19937 rng(2);
    while (expected < kItems && Clock::now() < deadline) {
        Item v{};
        Item* s = (rng() & 1) ? nullptr : q.peek();
        const bool ok = s ? (v = *s, q.release(), true) : q.tryPop(v);
        if (!ok) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_TRUE(v.seq == expected && v.check == ~expected) << expected;
        ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, kItems);
}

// ------------------------------------------- frames, played on the test thread

// A registered record whose threads do not run: the test plays its packet
// thread (feed) and frame thread (processAll).
struct PlayedDevice {
    explicit PlayedDevice(const std::string& ip, std::uint8_t mode = 3) : ip(ip), dev(addDevice(ip, false, mode)) {}
    ~PlayedDevice() { removeDevice(ip); }
    void feed(const Bytes& d) { orb::handlePacket(dev, d.data(), d.size()); }
    void feed(const PacketBuilder& b) { feed(b.bytes()); }
    std::vector<std::size_t> drainFrames() {  // packet counts of the completed frames
        std::vector<std::size_t> sizes;
        for (orb::PacketListPtr l; dev.stream.frameQueue.tryPop(l);) sizes.push_back(l->packets.size());
        return sizes;
    }
    int processAll() {
        int n = 0;
        for (orb::PacketListPtr l; dev.stream.frameQueue.tryPop(l); ++n) orb::processFrame(dev, *l);
        return n;
    }
    std::string ip;
    orb::DeviceRecord& dev;
};

// A packet of 4 records in row n % 150 (distances and raw x from 100 + n).
PacketBuilder numbered(std::uint16_t n) { return PacketBuilder(1, 2, n, n % 150, 0, 1, 4, 1).fill10(4, 100 + n); }

TEST(FrameAssembly, PacketNumbersDropToCloseAFrameAndEveryListIsBounded) {
    struct Case {
        std::vector<std::uint16_t> numbers;
        std::vector<std::size_t> frames;  // completed frames' packet counts
        std::size_t collecting;
    };
    const Case cases[] = {
        {{0, 1, 2, 0}, {3}, 1},                // closed by the next frame
        {{0, 1, 2, 3, 3, 4, 5, 0}, {7}, 1},    // a repeat does not drop
        {{0, 1, 3, 2, 4, 0}, {3, 2}, 1},       // an out-of-order packet splits
        {{0, 1, 1, 2, 0, 0}, {4}, 2},          // duplicates stay in the frame
        {{5, 6, 7}, {}, 3},                    // nothing before the first drop
    };
    for (const Case& c : cases) {
        PlayedDevice d("127.0.0.50");
        for (auto n : c.numbers) d.feed(numbered(n));
        EXPECT_EQ(d.drainFrames(), c.frames);
        EXPECT_EQ(d.dev.stream.collecting->packets.size(), c.collecting);
    }
    PlayedDevice capped("127.0.0.50");
    for (std::size_t i = 0; i < orb::kMaxPacketsPerFrame + 100; ++i) capped.feed(numbered(0));
    EXPECT_EQ(capped.dev.stream.stats.packetsOverFrameCap.load(), 100u);
    capped.feed(numbered(5));
    capped.feed(numbered(1));
    EXPECT_EQ(capped.drainFrames(), std::vector<std::size_t>{orb::kMaxPacketsPerFrame});
    // A stalled frame thread: at most 255 frames wait, the rest are counted.
    for (int i = 0; i < 300; ++i) {
        capped.feed(numbered(1));
        capped.feed(numbered(0));
    }
    EXPECT_EQ(capped.dev.stream.stats.framesDroppedQueueFull.load(), 300u - 255u);
    EXPECT_EQ(capped.drainFrames().size(), 255u);
}

std::atomic<int> gCallsA{0}, gCallsB{0}, gInside[3];
std::atomic<float> gFirstX{0};
void callbackA(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    gFirstX = frame[0][0].x;
    ++gCallsA;
}
void callbackB(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) { ++gCallsB; }
void callbackCallsBack(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
    static Frame a = newFrame(), b = newFrame();
    gInside[0] = ZelOrbGetPointCloud("127.0.0.52", rows(a));
    gInside[1] = ZelOrbGetDualEchoPointCloud("127.0.0.52", rows(a), rows(b));
    gInside[2] = ZelOrbRegisterCallbackUpdateFrame("127.0.0.52", callbackB);
}

TEST(FrameDelivery, FramesAreTakenOnceAndCallbacksRegisteredReplacedAndConfined) {
    PlayedDevice d("127.0.0.52");
    const char* ip = d.ip.c_str();
    Frame out = newFrame(), second = newFrame();
    EXPECT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_GET_DATA_FAILED);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, callbackA), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, nullptr), RC_CALLBACK_REGISTER_FAILED);  // keeps A
    for (auto n : {0, 1, 0}) d.feed(numbered(n));
    ASSERT_EQ(d.processAll(), 1);
    EXPECT_EQ(gCallsA.load(), 1);
    EXPECT_EQ(gFirstX.load(), 100 / 5.0f);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(ip, rows(out), rows(second)), RC_GET_DATA_FAILED);
    ASSERT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_OK);
    EXPECT_EQ(out[0].distance, 100.0f);
    EXPECT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_GET_DATA_FAILED);

    // Inside its frame callback a device's own frame calls are refused (they
    // would wait for the mutex the callback runs under); outside they work.
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, callbackCallsBack), RC_OK);
    for (auto n : {1, 0}) d.feed(numbered(n));
    ASSERT_EQ(d.processAll(), 1);
    for (auto& r : gInside) EXPECT_EQ(r.load(), RC_GENERAL_ERROR);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, callbackB), RC_OK);
    EXPECT_EQ(gCallsA.load(), 1);

    // A frame of a type the mode does not store is still published (and
    // called back), with nothing written into it.
    gCallsB = 0;
    d.feed(PacketBuilder(12, 2, 1, 0, 0, 1, 2, 9).fill10(2, 5));
    d.feed(PacketBuilder(12, 2, 0, 0, 0, 1, 2, 9).fill10(2, 5));
    ASSERT_EQ(d.processAll(), 1);
    EXPECT_EQ(gCallsB.load(), 1);
    ASSERT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_OK);
    EXPECT_NE(out[0].tag, 9u);
}

TEST(FrameDelivery, DualEchoFramesPublishBothEchoesAndNoCallback) {
    PlayedDevice d("127.0.0.54", 7);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(d.ip.c_str(), callbackB), RC_OK);
    gCallsB = 0;
    d.feed(PacketBuilder(13, 2, 0, 0, 0, 1, 8, 3).fill10(8, 10));
    d.feed(numbered(5));  // data type 1 is merged but not stored in mode 7
    d.feed(PacketBuilder(13, 2, 0, 0, 0, 0, 8));
    ASSERT_EQ(d.processAll(), 1);
    EXPECT_EQ(gCallsB.load(), 0);
    Frame first = newFrame(), second = newFrame();
    EXPECT_EQ(ZelOrbGetPointCloud(d.ip.c_str(), rows(first)), RC_GET_DATA_FAILED);
    ASSERT_TRUE(pollFrame(d.ip, first, 10ms, &second));
    EXPECT_EQ(std::vector<float>({first[0].distance, second[0].distance, first[3].distance, second[3].distance, first[4].distance}),
              std::vector<float>({10, 11, 16, 17, 0}));
    EXPECT_FALSE(pollFrame(d.ip, first, 1ms, &second));

    // The farther echo per position; NaN never wins; the output may be an input.
    Frame a = newFrame(), b = newFrame(), out = newFrame();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float da[] = {5, 4, 7, nan, 1}, db[] = {4, 5, 7, 1, nan};
    for (std::size_t i = 0; i < a.size(); ++i) a[i].tag = 1, b[i].tag = 2;
    for (int i = 0; i < 5; ++i) a[i].distance = da[i], b[i].distance = db[i];
    ASSERT_EQ(ZelOrbGetMaximumRangePointCloud(rows(a), rows(b), rows(out)), RC_OK);
    const std::uint64_t want[] = {1, 2, 2, 2, 2, 2};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i].tag, want[i]) << i;
    ASSERT_EQ(ZelOrbGetMaximumRangePointCloud(rows(a), rows(b), rows(a)), RC_OK);
    EXPECT_TRUE(a[0].tag == 1u && a[1].tag == 2u);
}

TEST(FrameDelivery, EachFrameDecodesWithItsOwnFormatAndFiltersOnlyFreshPoints) {
    PlayedDevice d("127.0.0.51");
    // Frame 1 in format 4, closed by a packet of format 22.
    d.feed(PacketBuilder(1, 0, 0, 0, 0, 1, 4, 1).rec4(11, 1).rec4(12, 1).rec4(13, 1).rec4(14, 1));
    d.feed(PacketBuilder(1, 0, 1, 1, 0, 1, 4, 1).rec4(21, 1).rec4(22, 1).rec4(23, 1).rec4(24, 1));
    d.feed(PacketBuilder(1, 5, 0, 0, 0, 1, 1, 2).rec22(500, 5, 5, 5, 9));
    ASSERT_EQ(d.processAll(), 1);
    Frame f;
    ASSERT_TRUE(pollFrame(d.ip, f, 100ms));
    EXPECT_TRUE(f[0].distance == 11 && f[3].distance == 14 && f[362].distance == 23 && f[0].x == 0);

    // Compensation (+10) acts once on each decoded point: a position the next
    // frame does not refill keeps its compensated value.
    PlayedDevice c("127.0.0.57");
    c.dev.stream.filters.distanceOffset = 10;
    c.dev.stream.filters.compensationEnable = true;
    auto row = [](std::uint16_t number, std::uint16_t r, std::int16_t rawX) {
        PacketBuilder b(1, 2, number, r, 0, 1, 4, 1);
        for (int i = 0; i < 4; ++i) b.rec10(0, rawX, 0, 0, 1);
        return b;
    };
    for (const auto& p : {row(0, 0, 50), row(1, 1, 100), row(0, 0, 75), row(1, 5, 0), row(0, 6, 0)}) c.feed(p);
    ASSERT_EQ(c.processAll(), 2);
    ASSERT_TRUE(pollFrame(c.ip, f, 10ms));
    EXPECT_TRUE(f[360].x == 30 && f[360].distance == 30 && f[1].x == 25);
    std::lock_guard<std::mutex> lock(c.dev.stream.streamMutex);
    EXPECT_EQ(c.dev.stream.unfilteredFrame[360].x, 20.0f) << "fusion reads the decoded values";
}

std::atomic<int> gSixCount{0}, gSixCheck{0}, gSixInsideGet{0}, gSixData0{0};
std::atomic<std::uint64_t> gSixTimestamp{0};
void sixAxisCallback(ZelOrb6AxisImuData d) {
    static Frame f = newFrame();
    gSixTimestamp = d.timestamp;
    gSixCheck = d.check;
    gSixData0 = d.data[0];
    gSixInsideGet = ZelOrbGetPointCloud("127.0.0.58", rows(f));
    ++gSixCount;
}

TEST(FrameDelivery, SixAxisRecordsGoToTheirCallbackWithTheTimestampInMilliseconds) {
    PlayedDevice d("127.0.0.58");
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(d.ip.c_str(), sixAxisCallback), RC_OK);
    std::uint8_t data[26];
    for (int i = 0; i < 26; ++i) data[i] = static_cast<std::uint8_t>(0x40 + i);
    d.feed(orbsim::encodeSixAxis(2, 100000000ull, data));
    d.feed(orbsim::encodeSixAxis(0, 5, data));  // check byte refused
    EXPECT_EQ(gSixCount.load(), 1);
    EXPECT_EQ(std::make_tuple(gSixTimestamp.load(), gSixCheck.load(), gSixData0.load(), gSixInsideGet.load()),
              std::make_tuple(std::uint64_t{100}, 2, 0x40, int{RC_GENERAL_ERROR}));
    EXPECT_TRUE(d.drainFrames().empty());
}

// Packets repeating positions (a datagram delivered twice, a faulty camera)
// that fall into different halves of a frame: the two decode workers must not
// write the same points at once; every point comes out whole, from the later
// packet, as a single pass would leave it.
TEST(FrameDelivery, PacketsRepeatingPositionsAcrossTheDecodeHalvesEndAsTheLaterOne) {
    PlayedDevice d("127.0.0.99");
    constexpr int kPackets = 10, kRecords = 140;  // 35 rows of 4 columns each
    std::uint16_t number = 1;
    for (int copy = 0; copy < 2; ++copy)
        for (int p = 0; p < kPackets; ++p)
            d.feed(PacketBuilder(1, 2, number++, 0, 4 * p, kRecords, 1, 7, 42).fill10(kRecords, copy ? 3000 : 100));
    d.feed(PacketBuilder(1, 2, 0, 100, 0, 4, 1, 8, 43).fill10(4, 10));
    orb::PacketListPtr list;
    ASSERT_TRUE(d.dev.stream.frameQueue.tryPop(list));
    ASSERT_EQ(list->packets.size(), 2u * kPackets);
    Frame f = newFrame();
    for (int round = 0; round < 20; ++round) {
        orb::processFrame(d.dev, *list);
        ASSERT_EQ(ZelOrbGetPointCloud(d.ip.c_str(), rows(f)), RC_OK);
        for (int r = 0; r < 35; ++r)
            for (int c = 0; c < 4 * kPackets; ++c) {
                const ZelOrbPointData& p = f[r * ZEL_ORB_FRAME_COLS + c];
                const int i = r * 4 + c % 4;
                ASSERT_TRUE(p.distance == 3000.0f + i && p.x == orb::coordFromInt(3000 + i, 1.0f) && p.timestamp == 42u)
                    << "row " << r << " col " << c;
            }
    }
}

// ------------------------------------------------ through the device's threads

// Hands a datagram to a running device's packet thread, as reception does.
bool enqueue(orb::DeviceRecord& dev, const Bytes& d) {
    orb::PacketSlot* s = nullptr;
    if (!eventually([&] { return (s = dev.stream.packetQueue.reserve()) != nullptr; })) return false;
    s->length = static_cast<std::uint16_t>(d.size());
    std::memcpy(s->bytes, d.data(), d.size());
    dev.stream.packetQueue.commit();
    return true;
}

TEST(DeviceThreads, SimulatedFramesArriveIntactInEveryTypeFormatAndMode) {
    struct Combo {
        std::uint8_t dataType, format, mode;
        bool inverted;
    };
    const Combo combos[] = {{1, 4, 3, false}, {1, 8, 3, false},  {1, 10, 3, false}, {1, 22, 3, false},
                            {1, 10, 3, true}, {1, 22, 3, true},  {12, 10, 4, false}, {14, 10, 8, false},
                            {14, 10, 8, true}, {13, 10, 7, false}, {13, 10, 5, true}};
    orbsim::SceneFrame rendered;
    orbsim::withSecondEcho(orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200), 30)
        ->render(0, rendered);
    const std::string ip = "127.0.0.60";
    for (const Combo& c : combos) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.dataType) << " format " << int(c.format) << " mode "
                                        << int(c.mode) << (c.inverted ? " inverted" : ""));
        orb::DeviceRecord& dev = addDevice(ip, true, c.mode);
        dev.stream.inverted = c.inverted;
        dev.stream.axisSign = c.inverted ? -1 : 1;
        // Two frames; the first packet of a third closes the second.
        std::vector<orbsim::EncodedFrame> frames;
        for (std::uint64_t k = 0; k < 3; ++k) frames.push_back(orbsim::encodeFrame(rendered, c.dataType, c.format, k, 1000 + k));
        for (std::uint64_t k = 0; k < 3; ++k)
            for (std::size_t i = 0; i < (k == 2 ? 1 : frames[k].packets.size()); ++i)
                ASSERT_TRUE(enqueue(dev, frames[k].packets[i]));
        // A slow poll may miss frame 0 (only the newest frame is kept).
        const bool dual = c.dataType == 13;
        Frame first, second;
        const std::size_t origin = landingIndex(0, 0, c.inverted, dual);
        ASSERT_TRUE(eventually([&] { return pollFrame(ip, first, 5s, dual ? &second : nullptr) && first[origin].timestamp == 1001; }, 10s));
        EXPECT_TRUE(framesAgree(first, frames[1].expected, c.inverted, dev.stream.axisSign, dual ? &second : nullptr));
        EXPECT_TRUE(removeDevice(ip));
    }
}

TEST(DeviceThreads, StopWaitsForACallbackInProgress) {
    static std::atomic<bool> inCallback{false}, release{false};
    static std::atomic<int> finished{0};
    struct Cb {
        static void slow(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
            inCallback = true;
            for (int i = 0; i < 2000 && !release; ++i) std::this_thread::sleep_for(1ms);
            ++finished;
        }
    };
    const std::string ip = "127.0.0.61";
    orb::DeviceRecord& dev = addDevice(ip, true);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), Cb::slow), RC_OK);
    for (auto n : {1, 0}) ASSERT_TRUE(enqueue(dev, numbered(static_cast<std::uint16_t>(n)).bytes()));
    ASSERT_TRUE(eventually([] { return inCallback.load(); }, 5s));
    std::thread releaser([] {
        std::this_thread::sleep_for(50ms);
        release = true;
    });
    EXPECT_TRUE(removeDevice(ip));
    EXPECT_EQ(finished.load(), 1) << "the stop returned only after the callback";
    releaser.join();
}

}  // namespace
