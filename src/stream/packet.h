// Data packets: header checks, record formats, frame assembly and decoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orb_sdk.h"
#include "stream/stream_state.h"

namespace orb {

struct DeviceRecord;

constexpr std::uint16_t kPacketMagic = 0xA55A;
constexpr std::uint8_t kTypeFull = 1;
constexpr std::uint8_t kTypeSixAxis = 4;
constexpr std::uint8_t kTypeHalfNarrow = 12;
constexpr std::uint8_t kTypeDualEcho = 13;
constexpr std::uint8_t kTypeHalf = 14;
constexpr std::size_t kSixAxisPacketSize = 46;  // bytes 6..45 form the record

enum class PacketKind { Frame, SixAxis, Ignored };

struct PacketInfo {
    std::uint8_t dataType = 0;
    std::uint8_t format = 0;  // record size: 4, 8, 10 or 22
    std::uint16_t packetNumber = 0;
    std::uint32_t records = 0;  // whole records the datagram holds, at most A x B
    bool truncated = false;     // fewer than A x B records present
};

// Record size for a data type and selector; 0 when there is none.
std::uint8_t pointFormatFor(std::uint8_t dataType, std::uint8_t selector);
// Whether processing mode stores the records of a data type.
bool typeSuitsMode(std::uint8_t dataType, std::uint8_t mode);
bool isDualEchoMode(std::uint8_t mode);

// Checks one datagram. Never reads past len. Prints the diagnostics of an
// unsupported version or an invalid selector.
PacketKind inspectPacket(const std::uint8_t* d, std::size_t len, PacketInfo& info);

struct DecodeTarget {
    std::uint8_t mode = 3;
    std::int32_t axisSign = 1;
    bool inverted = false;
    const FilterSettings* filters = nullptr;
    ZelOrbPointData* first = nullptr;   // working frame
    ZelOrbPointData* second = nullptr;  // working second echo
    // Landing positions this decoder writes, [from, to): a worker's share.
    std::uint32_t from = 0;
    std::uint32_t to = static_cast<std::uint32_t>(kFramePoints);
};

// A raw record coordinate to the frame's unit (v / 5, rounded as v / 10 in
// float doubled); sign is the axis sign (+1 or -1).
float coordFromInt(std::int32_t v, float sign);
float coordFromFloat(float v, float sign);

// Decodes the records of one checked packet into the target's frames.
void decodePacket(const std::uint8_t* packet, const PacketRef& ref, const DecodeTarget& target);

// Packet thread: handles one datagram of the device (six-axis delivery or
// frame assembly with the frame boundary rule).
void handlePacket(DeviceRecord& dev, const std::uint8_t* d, std::size_t len);

// Frame thread: decodes one packet list (two workers) and publishes it.
void processFrame(DeviceRecord& dev, const PacketList& list);

}  // namespace orb
