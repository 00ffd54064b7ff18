// Guards a device's point-cloud path (queue, frame boundaries, publication) against lost, mixed or torn frames.

#include "device/device.h"
#include "scene.h"
#include "stream/block_queue.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"
#include "support/harness.h"
#include "support/packet_builder.h"

namespace {

using namespace orbtest;
using orb::BlockQueue;

// ----------------------------------------------------------------- the queue

TEST(BlockQueue, HoldsWhatWasAskedInOrderAndMatchesAModelUnderRandomFillAndDrain) {
    for (std::size_t requested : {1, 3, 1023, 1024, 4480}) {
        BlockQueue<int> q(requested);
        EXPECT_GE(q.capacity(), requested);
        for (int round = 0; round < 2; ++round) {  // twice around the ring
            int pushed = 0, v = -1;
            while (q.tryPush(pushed)) ++pushed;
            EXPECT_EQ(std::size_t(pushed), q.capacity()) << requested;
            for (int i = 0; i < pushed; ++i) ASSERT_TRUE(q.tryPop(v) && v == i);
            EXPECT_FALSE(q.tryPop(v));
        }
    }
    BlockQueue<std::unique_ptr<int>> one(1);  // a failed push keeps a move-only item
    auto second = std::make_unique<int>(2);
    ASSERT_TRUE(one.tryPush(std::make_unique<int>(1)) && !one.tryPush(std::move(second)) && second && *second == 2);

    std::mt19937 rng(12345);
    BlockQueue<std::uint32_t> q(1500);  // 3 blocks of 512
    std::deque<std::uint32_t> model;
    std::uint32_t next = 0, v;
    for (int step = 0; step < 40000; ++step) {  // bursts, so the fill level wanders over block edges
        const bool push = (rng() % 100) < (model.size() < q.capacity() / 2 ? 60u : 40u);
        for (int k = 1 + static_cast<int>(rng() % 700); k > 0; --k) {
            if (!push) {
                ASSERT_EQ(q.tryPop(v), !model.empty());
                if (model.empty()) continue;
                ASSERT_EQ(v, model.front());
                model.pop_front();
            } else if (q.tryPush(next)) {
                ASSERT_LT(model.size(), q.capacity());
                model.push_back(next++);
            } else {  // the producer never enters the consumer's block
                ASSERT_GE(model.size(), q.capacity() - (q.blockSize() - 1));
            }
        }
    }
}

TEST(BlockQueue, InPlaceSlotsStayPutUntilReleased) {
    BlockQueue<int> small(3);  // one block of 4
    int* a = small.reserve();
    ASSERT_TRUE(a && small.reserve() == a);
    *a = 11;
    EXPECT_EQ(small.peek(), nullptr) << "not visible before commit";
    small.commit();
    int* f = small.peek();
    ASSERT_TRUE(f && small.peek() == f && *f == 11 && small.tryPush(12) && small.tryPush(13));
    EXPECT_EQ(small.reserve(), nullptr) << "the peeked slot is not handed out again";
    small.release();
    EXPECT_NE(small.reserve(), nullptr);
}

// ------------------------------------------- frames, played on the test thread

// A registered record whose threads do not run: the test plays its packet
// thread (feed) and frame thread (processAll).
struct PlayedDevice {
    explicit PlayedDevice(const std::string& ip, std::uint8_t mode = 3) : ip(ip), dev(addDevice(ip, false, mode)) {}
    ~PlayedDevice() { removeDevice(ip); }
    void feed(const PacketBuilder& b) { orb::handlePacket(dev.stream, b.bytes().data(), b.bytes().size()); }
    std::vector<std::size_t> drainFrames() {  // packet counts of the completed frames
        std::vector<std::size_t> sizes;
        for (orb::PacketListPtr l; dev.stream.frameQueue.tryPop(l);) sizes.push_back(l->packets.size());
        return sizes;
    }
    int processAll() {
        int n = 0;
        for (orb::PacketListPtr l; dev.stream.frameQueue.tryPop(l); ++n) orb::processFrame(dev.stream, *l);
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
        {{0, 1, 2, 0}, {3}, 1},              // closed by the next frame
        {{0, 1, 2, 3, 3, 4, 5, 0}, {7}, 1},  // a repeat does not drop
        {{0, 1, 3, 2, 4, 0}, {3, 2}, 1},     // an out-of-order packet splits
        {{0, 1, 1, 2, 0, 0}, {4}, 2},        // duplicates stay in the frame
        {{5, 6, 7}, {}, 3},                  // nothing before the first drop
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
    for (int i = 0; i < 300; ++i) capped.feed(numbered(1)), capped.feed(numbered(0));
    EXPECT_EQ(capped.dev.stream.stats.framesDroppedQueueFull.load(), 300u - 255u) << "a stalled frame thread";
    EXPECT_EQ(capped.drainFrames().size(), 255u);
}

std::atomic<int> gCallsA{0}, gCallsB{0};
std::atomic<float> gFirstX{0};
void callbackA(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    gFirstX = frame[0][0].x;
    ++gCallsA;
}
void callbackB(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) { ++gCallsB; }

TEST(FrameDelivery, FramesAreTakenOnceAndCallbacksRegisteredAndReplaced) {
    PlayedDevice d("127.0.0.52");
    const char* ip = d.ip.c_str();
    Frame out = newFrame(), second = newFrame();
    EXPECT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_GET_DATA_FAILED);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, callbackA), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, nullptr), RC_CALLBACK_REGISTER_FAILED) << "keeps A";
    for (auto n : {0, 1, 0}) d.feed(numbered(n));
    ASSERT_EQ(d.processAll(), 1);
    EXPECT_TRUE(gCallsA.load() == 1 && gFirstX.load() == 100 / 5.0f);
    EXPECT_EQ(ZelOrbGetDualEchoPointCloud(ip, rows(out), rows(second)), RC_GET_DATA_FAILED);
    ASSERT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_OK);
    EXPECT_EQ(out[0].distance, 100.0f);
    EXPECT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_GET_DATA_FAILED);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, callbackB), RC_OK);
    // A frame of a type the mode does not store is still published and called back, with nothing written.
    d.feed(PacketBuilder(12, 2, 1, 0, 0, 1, 2, 9).fill10(2, 5));
    d.feed(PacketBuilder(12, 2, 0, 0, 0, 1, 2, 9).fill10(2, 5));
    ASSERT_EQ(d.processAll(), 1);
    ASSERT_EQ(ZelOrbGetPointCloud(ip, rows(out)), RC_OK);
    EXPECT_TRUE(gCallsB.load() == 1 && gCallsA.load() == 1 && out[0].tag != 9u);
}

TEST(FrameDelivery, FormatsFollowEachFrameFiltersOnlyFreshPointsAndTheFartherEchoWins) {
    PlayedDevice d("127.0.0.51");
    PacketBuilder f4a(1, 0, 0, 0, 0, 1, 4, 1), f4b(1, 0, 1, 1, 0, 1, 4, 1);
    for (int i = 1; i <= 4; ++i) f4a.rec(4, 10 + i, 0, 0, 0, 1), f4b.rec(4, 20 + i, 0, 0, 0, 1);
    d.feed(f4a);
    d.feed(f4b);
    d.feed(PacketBuilder(1, 5, 0, 0, 0, 1, 1, 2).rec(22, 500, 5, 5, 5, 9));  // format 22 closes the format 4 frame
    ASSERT_EQ(d.processAll(), 1);
    Frame f;
    ASSERT_TRUE(pollFrame(d.ip, f, 100ms));
    EXPECT_TRUE(f[0].distance == 11 && f[3].distance == 14 && f[362].distance == 23 && f[0].x == 0);

    // Compensation (+10) acts once on each decoded point: a position the next
    // frame does not refill keeps its compensated value.
    PlayedDevice c("127.0.0.57");
    c.dev.stream.filters.distanceOffset = 10;
    c.dev.stream.filters.compensationEnable = true;
    auto row = [](std::uint16_t number, std::uint16_t r, float x) {
        PacketBuilder b(1, 2, number, r, 0, 1, 4, 1);
        for (int i = 0; i < 4; ++i) b.rec(10, 0, x, 0, 0, 1);
        return b;
    };
    for (const auto& p : {row(0, 0, 50), row(1, 1, 100), row(0, 0, 75), row(1, 5, 0), row(0, 6, 0)}) c.feed(p);
    ASSERT_EQ(c.processAll(), 2);
    ASSERT_TRUE(pollFrame(c.ip, f, 10ms));
    EXPECT_TRUE(f[360].x == 30 && f[360].distance == 30 && f[1].x == 25);
    {
        std::lock_guard<std::mutex> lock(c.dev.stream.streamMutex);
        EXPECT_EQ(c.dev.stream.unfilteredFrame[360].x, 20.0f) << "fusion reads the decoded values";
    }
    // The farther echo per position; NaN never wins; the output may be an input.
    Frame a = newFrame(), b = newFrame(), out = newFrame();
    const float nan = std::numeric_limits<float>::quiet_NaN(), da[] = {5, 4, 7, nan, 1}, db[] = {4, 5, 7, 1, nan};
    for (std::size_t i = 0; i < a.size(); ++i) a[i].tag = 1, b[i].tag = 2;
    for (int i = 0; i < 5; ++i) a[i].distance = da[i], b[i].distance = db[i];
    ASSERT_EQ(ZelOrbGetMaximumRangePointCloud(rows(a), rows(b), rows(out)), RC_OK);
    EXPECT_EQ(std::vector<std::uint64_t>({out[0].tag, out[1].tag, out[2].tag, out[3].tag, out[4].tag, out[5].tag}),
              std::vector<std::uint64_t>({1, 2, 2, 2, 2, 2}));
    ASSERT_EQ(ZelOrbGetMaximumRangePointCloud(rows(a), rows(b), rows(a)), RC_OK);
    EXPECT_TRUE(a[0].tag == 1u && a[1].tag == 2u);
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

TEST(DeviceThreads, StopWaitsForACallbackInProgress) {
    static std::atomic<bool> inCallback{false}, release{false};
    static std::atomic<int> finished{0};
    auto slow = [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) {
        inCallback = true;
        for (int i = 0; i < 2000 && !release; ++i) std::this_thread::sleep_for(1ms);
        ++finished;
    };
    orb::DeviceRecord& dev = addDevice("127.0.0.61", true);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame("127.0.0.61", slow), RC_OK);
    ASSERT_TRUE(enqueue(dev, numbered(1).bytes()) && enqueue(dev, numbered(0).bytes()));
    ASSERT_TRUE(eventually([] { return inCallback.load(); }, 5s));
    std::thread releaser([] {
        std::this_thread::sleep_for(50ms);
        release = true;
    });
    EXPECT_TRUE(removeDevice("127.0.0.61"));
    EXPECT_EQ(finished.load(), 1) << "the stop returned only after the callback";
    releaser.join();
}

}  // namespace
