// Decode time of one 54,000-point frame per record format, as a ratio to a
// plain loop writing the same 54,000 structs. Medians of repeated runs, all
// measured side by side in one process.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "pointcloud_streamer.h"
#include "scene.h"
#include "stream/packet.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 301;

template <class F>
double medianMicros(F&& f) {
    std::vector<double> t(kRuns);
    for (int i = 0; i < kRuns; ++i) {
        const auto a = Clock::now();
        f();
        t[i] = std::chrono::duration<double, std::micro>(Clock::now() - a).count();
    }
    std::nth_element(t.begin(), t.begin() + kRuns / 2, t.end());
    return t[kRuns / 2];
}

// A persistent second worker: start() hands it the job, finish() waits for it.
class Helper {
public:
    explicit Helper(std::function<void()> job) : job_(std::move(job)), thread_([this] { run(); }) {}
    ~Helper() {
        {
            std::lock_guard<std::mutex> lk(m_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void start() {
        {
            std::lock_guard<std::mutex> lk(m_);
            pending_ = true;
        }
        cv_.notify_all();
    }
    void finish() {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [this] { return !pending_; });
    }

private:
    void run() {
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            cv_.wait(lk, [this] { return pending_ || quit_; });
            if (quit_) return;
            lk.unlock();
            job_();
            lk.lock();
            pending_ = false;
            cv_.notify_all();
        }
    }
    std::function<void()> job_;
    std::mutex m_;
    std::condition_variable cv_;
    bool pending_ = false, quit_ = false;
    std::thread thread_;
};

struct Plain {
    std::vector<float> d, x, y, z;
    std::vector<std::uint8_t> in;
};

}  // namespace

int main() {
    auto scene = orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200);
    orbsim::SceneFrame rendered;
    scene->render(0, rendered);

    std::vector<ZelOrbPointData> frame(ZEL_ORB_FRAME_POINTS);
    std::vector<ZelOrbPointData> second(ZEL_ORB_FRAME_POINTS);
    orb::FilterSettings filters;

    // Baseline: the same structs from values already in memory.
    Plain src;
    for (const auto& p : rendered.first) {
        src.d.push_back(p.distance);
        src.x.push_back(p.x);
        src.y.push_back(p.y);
        src.z.push_back(p.z);
        src.in.push_back(p.intensity);
    }
    auto plain = [&] {
        ZelOrbPointData* out = frame.data();
        for (std::uint32_t i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
            ZelOrbPointData p{};
            p.row = static_cast<std::uint16_t>(i / 360);
            p.column = static_cast<std::uint16_t>(i % 360);
            p.distance = src.d[i];
            p.intensity = src.in[i];
            p.x = src.x[i];
            p.y = src.y[i];
            p.z = src.z[i];
            p.timestamp = 12345;
            p.tag = 7;
            out[i] = p;
        }
    };

    // The same plain loop, writing in the order the packets carry the points
    // (strips of 4 columns): the order the wire format imposes on a decoder.
    std::vector<std::uint32_t> packetOrder;
    {
        const int rowsPerPacket = static_cast<int>(orbsim::recordsPerPacket(1, 10)) / 4;
        for (int r = 0; r < 150; r += rowsPerPacket)
            for (int c = 0; c < 360; c += 4)
                for (int i = 0; i < 4 * std::min(rowsPerPacket, 150 - r); ++i)
                    packetOrder.push_back(static_cast<std::uint32_t>((r + i / 4) * 360 + c + i % 4));
    }
    auto plainPacketOrder = [&] {
        ZelOrbPointData* out = frame.data();
        for (std::uint32_t i : packetOrder) {
            ZelOrbPointData p{};
            p.row = static_cast<std::uint16_t>(i / 360);
            p.column = static_cast<std::uint16_t>(i % 360);
            p.distance = src.d[i];
            p.intensity = src.in[i];
            p.x = src.x[i];
            p.y = src.y[i];
            p.z = src.z[i];
            p.timestamp = 12345;
            p.tag = 7;
            out[i] = p;
        }
    };
    double po = 0;
    for (int round = 0; round < 3; ++round) po += medianMicros(plainPacketOrder);
    std::printf("plain loop in the packets' order (strips of 4 columns): %.1f us\n", po / 3);
    std::printf("decode of one 150 x 360 frame (data type 1), median of %d runs\n", kRuns);
    std::printf("%-8s %10s %10s %8s %10s %8s %10s %8s\n", "format", "plain us", "decode us", "ratio", "2 workers",
                "ratio", "helper", "ratio");
    for (std::uint8_t format : {4, 8, 10, 22}) {
        const orbsim::EncodedFrame enc = orbsim::encodeFrame(rendered, 1, format, 7, 12345);
        orb::PacketList list;
        for (const auto& d : enc.packets) {
            orb::PacketInfo info;
            if (orb::inspectPacket(d.data(), d.size(), info) != orb::PacketKind::Frame) return 1;
            list.packets.push_back(orb::PacketRef{static_cast<std::uint32_t>(list.bytes.size()),
                                                  static_cast<std::uint16_t>(d.size()), info.dataType, info.format,
                                                  info.records});
            list.bytes.insert(list.bytes.end(), d.begin(), d.end());
        }
        orb::DecodeTarget t;
        t.mode = 3;
        t.filters = &filters;
        t.first = frame.data();
        t.second = second.data();
        auto decode = [&] {
            for (const auto& ref : list.packets) orb::decodePacket(list.bytes.data() + ref.offset, ref, t);
        };
        // The frame thread's way: half of the packets on a second thread.
        auto twoWorkers = [&] {
            const std::size_t half = list.packets.size() / 2;
            std::thread w([&] {
                for (std::size_t i = 0; i < half; ++i)
                    orb::decodePacket(list.bytes.data() + list.packets[i].offset, list.packets[i], t);
            });
            for (std::size_t i = half; i < list.packets.size(); ++i)
                orb::decodePacket(list.bytes.data() + list.packets[i].offset, list.packets[i], t);
            w.join();
        };
        // A helper kept for the device, woken for each frame: the other way
        // to a second worker, without a thread start per frame.
        Helper helper([&] {
            const std::size_t half = list.packets.size() / 2;
            for (std::size_t i = 0; i < half; ++i)
                orb::decodePacket(list.bytes.data() + list.packets[i].offset, list.packets[i], t);
        });
        auto persistent = [&] {
            helper.start();
            for (std::size_t i = list.packets.size() / 2; i < list.packets.size(); ++i)
                orb::decodePacket(list.bytes.data() + list.packets[i].offset, list.packets[i], t);
            helper.finish();
        };
        // Interleave so all see the same machine state.
        double p = 0, d = 0, w = 0, h = 0;
        for (int round = 0; round < 3; ++round) {
            p += medianMicros(plain);
            d += medianMicros(decode);
            w += medianMicros(twoWorkers);
            h += medianMicros(persistent);
        }
        std::printf("%-8d %10.1f %10.1f %8.2f %10.1f %8.2f %10.1f %8.2f\n", format, p / 3, d / 3, d / p, w / 3, w / p,
                    h / 3, h / p);
    }
    return 0;
}
