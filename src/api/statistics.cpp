// The stream statistics of a device: copies of the counters its threads keep.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/api_guard.h"
#include "device/context.h"
#include "device/device.h"
#include "device/lookup.h"
#include "imu_rgb/rgb_stream.h"
#include "orb_sdk.h"

namespace {

std::uint64_t get(const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); }

// The first published size of the record: smaller ones are refused.
constexpr std::uint32_t kFirstStatisticsSize = 168;

template <class Body>
std::int32_t onStatistics(const char* ip, Body&& body) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!ip) return RC_INVALID_TARGET;
        return orb::withDevice<std::int32_t>(ip, orb::FromCallback::Allowed, RC_DEVICE_NOT_FOUND, body);
    });
}

}  // namespace

extern "C" {

ORB_API int32_t ZelOrbGetStreamStatistics(const char* ip, ZelOrbStreamStatistics* stats) {
    if (!stats || stats->size < kFirstStatisticsSize) return RC_INVALID_TARGET;
    return onStatistics(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        const orb::StreamStats& s = dev.stream.stats;
        const orb::ReceptionStats r = orb::libraryContext().reception.stats();
        ZelOrbStreamStatistics out{};
        out.datagrams = get(s.datagrams);
        out.bytes = get(s.bytes);
        out.dropped_queue_full = get(s.datagramsDroppedQueueFull);
        out.dropped_wrong_port = get(s.droppedWrongPort);
        out.dropped_length = get(s.droppedLength);
        out.dropped_bad_magic = get(s.droppedMagic);
        out.dropped_bad_data_type = get(s.droppedDataType);
        out.dropped_bad_version = get(s.droppedVersion);
        out.truncated = get(s.packetsTruncated);
        out.frames_completed = get(s.framesCompleted);
        out.frames_published = get(s.framesPublished);
        out.frames_dropped_queue_full = get(s.framesDroppedQueueFull);
        out.frames_packet_overflow = get(s.framesOverFrameCap);
        out.frames_missing_packets = get(s.framesMissingPackets);
        out.six_axis_packets = get(s.sixAxisPackets);
        out.nine_axis_samples = get(dev.imuRgb.imu->samples);
        out.rgb_images_completed = get(dev.imuRgb.rgb->imagesCompleted);
        out.rgb_images_dropped = get(dev.imuRgb.rgb->imagesDropped);
        out.unknown_source_datagrams = r.unknownSource;
        out.receive_buffer_bytes = r.grantedRecvBuffer;
        // A caller built with a longer record keeps its tail; size tells
        // it how much was filled.
        const std::size_t n = stats->size < sizeof out ? stats->size : sizeof out;
        out.size = static_cast<std::uint32_t>(n);
        std::memcpy(stats, &out, n);
        return RC_OK;
    });
}

ORB_API int32_t ZelOrbResetStreamStatistics(const char* ip) {
    return onStatistics(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        dev.stream.stats.reset();
        dev.imuRgb.imu->samples.store(0, std::memory_order_relaxed);
        dev.imuRgb.rgb->imagesCompleted.store(0, std::memory_order_relaxed);
        dev.imuRgb.rgb->imagesDropped.store(0, std::memory_order_relaxed);
        orb::libraryContext().reception.resetUnknownSource();
        return RC_OK;
    });
}

}  // extern "C"
