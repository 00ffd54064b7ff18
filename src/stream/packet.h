// Data packets: header checks, record formats and the decoding of a packet's
// records into frame positions. Pure functions of their inputs; the packet
// and frame threads (frame_flow.h) drive them.
//
// Header (45 bytes, little-endian): magic A5 5A at 0, data type at 3,
// version_minor at 6, packet number (u16) at 7, tag at 11, start column (u16)
// at 12, start row (u16) at 14, record count A (u16) at 16, format selector
// at 18, record count B (u8) at 19, timestamp (u64) at 37; A x B records follow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orb_sdk.h"
#include "stream/stream_state.h"

namespace orb {

constexpr std::uint16_t kPacketMagic = 0xA55A;

// The data type (header byte 3): how a packet's records fill the frame, or a
// six-axis IMU record instead.
enum PacketDataType : std::uint8_t {
    kTypeFull = 1,         // the whole frame
    kTypeSixAxis = 4,      // one six-axis record, no points
    kTypeHalfNarrow = 12,  // the upper half rows, the left half columns
    kTypeDualEcho = 13,    // the upper half rows, two echoes per position
    kTypeHalf = 14,        // the upper half rows
};
constexpr std::size_t kSixAxisPacketSize = 46;  // bytes 6..45 form the record
constexpr std::size_t kSixAxisRecordOffset = 6;
constexpr std::size_t kSixAxisTimeOffset = 12;  // u64 nanoseconds, delivered as milliseconds

// A packet to use, or the reason it is dropped: too short for its kind,
// wrong magic, unknown data type or record selector (or six-axis check
// byte), unsupported version.
enum class PacketKind { Frame, SixAxis, BadLength, BadMagic, BadDataType, BadVersion };

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

// For the reception: whether a datagram needs the packet thread at once (a
// six-axis packet, whose callback waits, or a packet whose number drops and
// so closes a frame); the others may wait for a later wake. previousNumber is
// the reception's own record of the device's last packet number.
bool needsPromptHandling(const std::uint8_t* d, std::size_t len, std::uint16_t& previousNumber);

struct DecodeTarget {
    std::uint8_t mode = kModeFull;
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

}  // namespace orb
