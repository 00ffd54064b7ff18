// Block queue throughput: items per second through one producer and one
// consumer thread, for small items (packet lists are moved as pointers) and
// for datagram slots written and read in place.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "stream/block_queue.h"
#include "stream/stream_state.h"

namespace {

constexpr std::int64_t kItems = 1 << 20;

void BM_QueuePointerItems(benchmark::State& state) {
    orb::BlockQueue<std::uint64_t> q(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::thread producer([&] {
            for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(kItems);)
                if (q.tryPush(i))
                    ++i;
                else
                    std::this_thread::yield();  // the machine may have fewer free cores than threads
        });
        std::uint64_t v = 0, sum = 0;
        for (std::int64_t n = 0; n < kItems;)
            if (q.tryPop(v)) {
                sum += v;
                ++n;
            } else {
                std::this_thread::yield();
            }
        producer.join();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_QueuePointerItems)->Arg(200)->Arg(4480)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_QueueDatagramSlotsInPlace(benchmark::State& state) {
    const std::size_t len = static_cast<std::size_t>(state.range(0));
    orb::BlockQueue<orb::PacketSlot> q(orb::kPacketQueueRequest);
    std::vector<std::uint8_t> datagram(len, 0x5A);
    constexpr std::int64_t kDatagrams = 1 << 18;
    for (auto _ : state) {
        std::thread producer([&] {
            for (std::int64_t i = 0; i < kDatagrams;) {
                orb::PacketSlot* s = q.reserve();
                if (!s) {
                    std::this_thread::yield();
                    continue;
                }
                s->length = static_cast<std::uint16_t>(len);
                std::memcpy(s->bytes, datagram.data(), len);
                q.commit();
                ++i;
            }
        });
        std::uint64_t sum = 0;
        for (std::int64_t n = 0; n < kDatagrams;) {
            orb::PacketSlot* s = q.peek();
            if (!s) {
                std::this_thread::yield();
                continue;
            }
            sum += s->length + s->bytes[len - 1];
            q.release();
            ++n;
        }
        producer.join();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * kDatagrams);
    state.SetBytesProcessed(state.iterations() * kDatagrams * static_cast<std::int64_t>(len));
}
BENCHMARK(BM_QueueDatagramSlotsInPlace)->Arg(1472)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
