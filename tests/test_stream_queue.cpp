// The block queue: capacities, order across blocks, in-place use, and a
// randomized two-thread stress run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <random>
#include <thread>

#include "stream/block_queue.h"
#include "stream/stream_state.h"

namespace {

using orb::BlockQueue;

TEST(BlockQueue, CapacitiesFollowTheBlockLayout) {
    struct Case {
        std::size_t requested, blocks, blockSize, capacity;
    };
    const Case cases[] = {
        {1, 1, 2, 1},        {3, 1, 4, 3},           {200, 1, 256, 255},    {1023, 1, 1024, 1023},
        {1024, 4, 512, 2044}, {4480, 10, 512, 5110}, {5000, 11, 512, 5621},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        BlockQueue<int> q(c.requested);
        EXPECT_EQ(q.blockCount(), c.blocks);
        EXPECT_EQ(q.blockSize(), c.blockSize);
        EXPECT_EQ(q.capacity(), c.capacity);
        // Fill twice around the ring: exactly capacity items fit, in order.
        for (int round = 0; round < 2; ++round) {
            std::size_t pushed = 0;
            while (q.tryPush(static_cast<int>(pushed))) ++pushed;
            EXPECT_EQ(pushed, c.capacity);
            int v = -1;
            for (std::size_t i = 0; i < pushed; ++i) {
                ASSERT_TRUE(q.tryPop(v));
                ASSERT_EQ(v, static_cast<int>(i));
            }
            EXPECT_FALSE(q.tryPop(v));
        }
    }
}

TEST(BlockQueue, MatchesAModelUnderRandomFillAndDrain) {
    std::mt19937 rng(12345);
    BlockQueue<std::uint32_t> q(1500);  // 3 blocks of 512
    std::deque<std::uint32_t> model;
    std::uint32_t next = 0;
    for (int step = 0; step < 200000; ++step) {
        // Bursts of pushes or pops, so the fill level wanders over block edges.
        const bool push = (rng() % 100) < (model.size() < q.capacity() / 2 ? 60u : 40u);
        const int burst = 1 + static_cast<int>(rng() % 700);
        for (int k = 0; k < burst; ++k) {
            if (push) {
                const bool ok = q.tryPush(next);
                // The producer never enters the block the consumer is in, so a
                // push may fail with up to one block's worth of room left.
                if (ok) {
                    ASSERT_LT(model.size(), q.capacity());
                } else {
                    ASSERT_GE(model.size(), q.capacity() - (q.blockSize() - 1));
                }
                if (ok) model.push_back(next++);
            } else {
                std::uint32_t v;
                const bool ok = q.tryPop(v);
                ASSERT_EQ(ok, !model.empty());
                if (ok) {
                    ASSERT_EQ(v, model.front());
                    model.pop_front();
                }
            }
        }
    }
}

TEST(BlockQueue, InPlaceSlotsAreStableUntilReleased) {
    BlockQueue<int> q(3);  // one block of 4
    int* a = q.reserve();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(q.reserve(), a);
    *a = 11;
    EXPECT_EQ(q.peek(), nullptr);  // not visible before commit
    q.commit();
    int* f = q.peek();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(q.peek(), f);
    EXPECT_EQ(*f, 11);
    // Fill the rest; the peeked slot is not handed out again until released.
    ASSERT_TRUE(q.tryPush(12));
    ASSERT_TRUE(q.tryPush(13));
    EXPECT_EQ(q.reserve(), nullptr);
    EXPECT_EQ(*f, 11);
    q.release();
    ASSERT_NE(q.reserve(), nullptr);
}

TEST(BlockQueue, MoveOnlyItemsAndFailedPushKeepsTheItem) {
    BlockQueue<std::unique_ptr<int>> q(1);
    ASSERT_TRUE(q.tryPush(std::make_unique<int>(1)));
    auto second = std::make_unique<int>(2);
    EXPECT_FALSE(q.tryPush(std::move(second)));
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, 2);
    std::unique_ptr<int> out;
    ASSERT_TRUE(q.tryPop(out));
    EXPECT_EQ(*out, 1);
}

TEST(BlockQueue, TwoThreadStressKeepsOrderAndLosesNothing) {
    // Alternates copy and in-place operations on both sides; payload checks
    // catch a slot read before it was written or after it was reused.
    struct Item {
        std::uint64_t seq;
        std::uint64_t check;
    };
    BlockQueue<Item> q(600);  // 2 blocks of 512
    constexpr std::uint64_t kItems = 400000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::atomic<bool> timedOut{false};
    std::thread producer([&] {
        std::mt19937 rng(1);
        for (std::uint64_t i = 0; i < kItems;) {
            if ((i & 1023) == 0 && std::chrono::steady_clock::now() > deadline) {
                timedOut = true;
                return;
            }
            bool ok;
            if (rng() & 1) {
                ok = q.tryPush(Item{i, ~i});
            } else {
                Item* s = q.reserve();
                ok = s != nullptr;
                if (ok) {
                    *s = Item{i, ~i};
                    q.commit();
                }
            }
            if (ok)
                ++i;
            else
                std::this_thread::yield();
        }
    });
    std::uint64_t expected = 0;
    std::mt19937 rng(2);
    while (expected < kItems && !timedOut) {
        if ((expected & 1023) == 0 && std::chrono::steady_clock::now() > deadline) break;
        Item v{};
        bool ok;
        if (rng() & 1) {
            ok = q.tryPop(v);
        } else {
            Item* s = q.peek();
            ok = s != nullptr;
            if (ok) {
                v = *s;
                q.release();
            }
        }
        if (!ok) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(v.seq, expected);
        ASSERT_EQ(v.check, ~expected);
        ++expected;
    }
    producer.join();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(expected, kItems);
}

TEST(BlockQueue, DevicePacketQueueHoldsItsDatagramsInPlace) {
    orb::BlockQueue<orb::PacketSlot> q(orb::kPacketQueueRequest);
    std::size_t n = 0;
    for (orb::PacketSlot* s; (s = q.reserve()) != nullptr; ++n) {
        s->length = static_cast<std::uint16_t>(n % 1472);
        s->bytes[0] = static_cast<std::uint8_t>(n);
        q.commit();
    }
    EXPECT_EQ(n, 5110u);
    for (std::size_t i = 0; i < n; ++i) {
        orb::PacketSlot* s = q.peek();
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->length, i % 1472);
        ASSERT_EQ(s->bytes[0], static_cast<std::uint8_t>(i));
        q.release();
    }
}

}  // namespace
