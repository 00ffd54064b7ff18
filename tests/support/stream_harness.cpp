#include "support/stream_harness.h"

#include <cmath>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <thread>

#include "device/context.h"

namespace orbtest {

orb::DeviceRecord& attachStreamDevice(const std::string& ip, std::int32_t sourcePort, std::uint8_t mode) {
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lock(reg.mutex());
    auto rec = std::make_shared<orb::DeviceRecord>(ip, sourcePort);
    rec->stream.processingMode.store(mode);
    orb::startStreamThreads(rec->stream);
    orb::DeviceRecord& ref = *rec;
    reg.devices()[ip] = rec;
    return ref;
}

bool detachStreamDevice(const std::string& ip) {
    orb::DevicePtr rec;
    {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        auto it = reg.devices().find(ip);
        if (it == reg.devices().end()) return false;
        orb::signalStreamThreadsStop(it->second->stream);
        rec = std::move(it->second);
        reg.devices().erase(it);
    }
    orb::waitStreamThreadsStopped(rec->stream);
    return true;
}

namespace {
auto* rows(Frame& f) { return reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(f.data()); }
}  // namespace

bool pollFrame(const std::string& ip, Frame& out, std::chrono::milliseconds timeout) {
    out.resize(ZEL_ORB_FRAME_POINTS);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ZelOrbGetPointCloud(ip.c_str(), rows(out)) == RC_OK) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool pollDualFrame(const std::string& ip, Frame& first, Frame& second, std::chrono::milliseconds timeout) {
    first.resize(ZEL_ORB_FRAME_POINTS);
    second.resize(ZEL_ORB_FRAME_POINTS);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ZelOrbGetDualEchoPointCloud(ip.c_str(), rows(first), rows(second)) == RC_OK) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::size_t landingIndex(const orbsim::SentFrame&, int row, int col, bool inverted, bool dualPlacement) {
    if (inverted && !dualPlacement) return static_cast<std::size_t>(149 - row) * 360 + static_cast<std::size_t>(359 - col);
    return static_cast<std::size_t>(row) * 360 + static_cast<std::size_t>(col);
}

namespace {
bool nearlyEqual(float a, float b) { return std::fabs(a - b) <= 1e-4f * std::max(1.0f, std::fabs(b)); }
}  // namespace

::testing::AssertionResult framesAgree(const Frame& got, const orbsim::SentFrame& sent, bool inverted, int axisSign,
                                       const Frame* secondEcho) {
    const bool dual = sent.dataType == 13;
    const bool signed_ = sent.format == 10 || sent.format == 22;
    const float s = signed_ ? static_cast<float>(axisSign) : 1.0f;
    std::size_t checked = 0;
    for (int echo = 0; echo < (dual ? 2 : 1); ++echo) {
        const auto& grid = echo ? sent.second : sent.first;
        const Frame& target = echo ? *secondEcho : got;
        if (echo && !secondEcho) break;
        for (const orbsim::ExpectedPoint& e : grid) {
            if (!e.delivered) continue;
            const ZelOrbPointData& p = target[landingIndex(sent, e.row, e.column, inverted, dual)];
            ++checked;
            if (p.row != e.row || p.column != e.column || p.timestamp != sent.timestamp || p.tag != sent.tag ||
                p.intensity != e.intensity || !nearlyEqual(p.distance, e.distance) || !nearlyEqual(p.x, e.x) ||
                !nearlyEqual(p.y, e.y * s) || !nearlyEqual(p.z, e.z * s)) {
                std::ostringstream m;
                m << "echo " << echo << " grid (" << e.row << "," << e.column << "): got row " << p.row << " col "
                  << p.column << " d " << p.distance << " i " << p.intensity << " xyz " << p.x << "," << p.y << ","
                  << p.z << " ts " << p.timestamp << " tag " << p.tag << "; want d " << e.distance << " i "
                  << e.intensity << " xyz " << e.x << "," << e.y * s << "," << e.z * s << " ts " << sent.timestamp
                  << " tag " << int(sent.tag);
                return ::testing::AssertionFailure() << m.str();
            }
        }
    }
    if (checked == 0) return ::testing::AssertionFailure() << "no delivered point to compare";
    return ::testing::AssertionSuccess();
}

}  // namespace orbtest
