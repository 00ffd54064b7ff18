// Point-cloud part of the device record: queues, frame buffers, flags,
// processing mode, callbacks and the host filter settings.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/wakeup.h"
#include "filters/filter_settings.h"
#include "orb_sdk.h"
#include "stream/block_queue.h"

namespace orb {

// The processing mode of a device's stream: which packet data type the frame
// thread stores, where its points land, and whether it publishes one echo or
// two. Kept as a byte: a value outside this list stores no point at all.
enum ProcessingMode : std::uint8_t {
    kModeFull = 3,        // data type 1 over the whole frame; device mode 0 selects it
    kModeHalfNarrow = 4,  // data type 12: the upper half rows, the left half columns
    kModeDualEchoA = 5,   // 5, 6 and 7 decode and publish alike: data type 13,
    kModeDualEchoB = 6,   // the upper half rows, first and second echo
    kModeDualEcho = 7,    // device mode 1 selects it
    kModeHalf = 8,        // data type 14: the upper half rows
};

constexpr std::size_t kMaxDatagram = 1472;
constexpr std::size_t kPacketHeaderSize = 45;
constexpr std::size_t kFramePoints = ZEL_ORB_FRAME_POINTS;
constexpr std::size_t kFrameBytes = kFramePoints * sizeof(ZelOrbPointData);
constexpr std::size_t kPacketQueueRequest = 4480;
constexpr std::size_t kFrameQueueRequest = 200;
// A full frame of the largest record (22 bytes) needs about 900 datagrams;
// anything beyond this bound is a faulty or hostile sender.
constexpr std::size_t kMaxPacketsPerFrame = 2048;

// One received datagram, held in place in the device's packet queue: the
// queue owns its slots, so a slot is rewritten only after the packet thread
// has released it.
struct PacketSlot {
    std::uint16_t length;
    std::uint8_t bytes[kMaxDatagram];
};

// A checked packet inside a packet list: where its bytes are and how to read
// them (its own data type and record format, its whole records).
struct PacketRef {
    std::uint32_t offset;
    std::uint16_t length;
    std::uint8_t dataType;
    std::uint8_t format;
    std::uint32_t records;
};

// The packets of one frame, copied back to back. Lists are recycled between
// the packet thread and the frame thread, so steady streaming allocates none.
struct PacketList {
    std::vector<std::uint8_t> bytes;
    std::vector<PacketRef> packets;
    void clear() {
        bytes.clear();
        packets.clear();
    }
};
using PacketListPtr = std::unique_ptr<PacketList>;

using FrameBuffer = std::vector<ZelOrbPointData>;  // kFramePoints, row-major

// What happened to the datagrams of a device, as the statistics call reports
// it. Each counter has one writer thread; a reset zeroes them all.
struct StreamStats {
    std::atomic<std::uint64_t> datagrams{0};  // routed to the device, before any check
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> datagramsQueued{0};
    std::atomic<std::uint64_t> datagramsDroppedQueueFull{0};
    std::atomic<std::uint64_t> droppedWrongPort{0};
    std::atomic<std::uint64_t> droppedLength{0};   // too short for its kind, or longer than a datagram may be
    std::atomic<std::uint64_t> droppedMagic{0};
    std::atomic<std::uint64_t> droppedDataType{0};  // unknown data type or point format selector
    std::atomic<std::uint64_t> droppedVersion{0};
    std::atomic<std::uint64_t> packetsTruncated{0};  // cut to the whole records they hold
    std::atomic<std::uint64_t> packetsOverFrameCap{0};
    std::atomic<std::uint64_t> framesCompleted{0};
    std::atomic<std::uint64_t> framesDroppedQueueFull{0};
    std::atomic<std::uint64_t> framesOverFrameCap{0};    // frames that lost packets beyond the list's limit
    std::atomic<std::uint64_t> framesMissingPackets{0};  // a gap in their packet numbers
    std::atomic<std::uint64_t> framesPublished{0};
    std::atomic<std::uint64_t> sixAxisPackets{0};
    std::atomic<std::uint64_t> sixAxisDelivered{0};  // to a callback

    void reset();
};

struct StreamState {
    StreamState(const std::string& ip, std::int32_t sourcePort);
    ~StreamState();  // stops and joins the threads if still running
    StreamState(const StreamState&) = delete;
    StreamState& operator=(const StreamState&) = delete;

    std::atomic<bool> running{false};
    BlockQueue<PacketListPtr> frameQueue{kFrameQueueRequest};    // packet thread -> frame thread
    BlockQueue<PacketSlot> packetQueue{kPacketQueueRequest};     // reception thread -> packet thread
    BlockQueue<PacketListPtr> recycleQueue{kFrameQueueRequest};  // frame thread -> packet thread (spent lists)
    std::string deviceIp;
    std::atomic<std::int32_t> dataSourcePort;

    // Frame buffers. published*, unfilteredFrame: under streamMutex.
    // working*: the frame thread and its decode worker only.
    FrameBuffer publishedFrame = FrameBuffer(kFramePoints);
    FrameBuffer publishedSecondEcho = FrameBuffer(kFramePoints);
    FrameBuffer unfilteredFrame = FrameBuffer(kFramePoints);
    FrameBuffer workingFrame = FrameBuffer(kFramePoints);
    FrameBuffer workingSecondEcho = FrameBuffer(kFramePoints);

    std::atomic<std::uint8_t> processingMode{kModeFull};
    std::mutex streamMutex;  // frame buffers, ready flags, both callbacks
    std::atomic<bool> frameReady{false};
    std::atomic<bool> dualEchoReady{false};
    std::atomic<std::uint32_t> pointFormatCode{0};  // of the latest accepted packet
    std::atomic<bool> packetThreadActive{false};
    std::atomic<bool> frameThreadActive{false};
    FilterSettings filters;
    std::uint16_t previousPacketNumber = 0;  // packet thread only
    bool collectingHasGap = false;           // packet thread only: of the frame being collected
    bool collectingOverCap = false;          // packet thread only: of the frame being collected
    PacketListPtr collecting;                // packet thread only: the frame being collected
    std::atomic<std::int32_t> axisSign{1};
    std::atomic<bool> inverted{false};
    ZelOrbFrameCallback frameCallback = nullptr;      // under streamMutex
    ZelOrb6AxisImuCallback sixAxisCallback = nullptr;  // under streamMutex

    Wakeup packetWake;  // the reception pushed datagrams, or a stop
    // Reception thread only: the device's last packet number it saw, and the
    // datagrams queued since it last woke the packet thread.
    std::uint16_t routedPacketNumber = 0;
    std::uint32_t queuedSinceWake = 0;
    Wakeup frameWake;   // the packet thread pushed a frame, or a stop
    StreamStats stats;
    std::thread packetThread;
    std::thread frameThread;
};

// Starts the packet and frame threads of a stream (running flag set).
void startStreamThreads(StreamState& st);
// Clears the running flag and ready flags and wakes both threads.
void signalStreamThreadsStop(StreamState& st);
// Waits (without any lock) until both threads have ended. A thread in the
// middle of a frame finishes it first, including a frame callback.
void waitStreamThreadsStopped(StreamState& st);

}  // namespace orb
