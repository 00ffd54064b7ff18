// RGB fragment reassembly: the receive thread feeds each datagram; fragments
// of one frame id are joined until the last one completes the frame.
//
// Fragment: head magic, header word (BE u32), payload length (BE u32), four
// bytes whose last is the image format, fragment count (BE u16), fragment
// index (BE u16, 1-based), frame id (BE u32), seconds (48-bit LE),
// microseconds (LE u32), the payload, tail magic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orb {

// A frame growing past this is dropped, so a stream of bad fragments cannot
// make the library allocate without limit.
constexpr std::size_t kMaxRgbFrameBytes = std::size_t{16} << 20;
constexpr std::size_t kRgbMinDatagram = 50;

struct RgbFragmentHeader {
    std::uint32_t word = 0;        // first header word, kept
    std::uint32_t length = 0;      // payload length of this fragment
    std::uint8_t bytes[4] = {};    // header bytes 12..15; [3] is the image format
    std::uint16_t total = 0;
    std::uint16_t index = 0;
    std::uint32_t frameId = 0;
    std::uint64_t seconds = 0;
    std::uint32_t microseconds = 0;
    std::uint8_t format() const { return bytes[3]; }
};

// A complete compressed frame with the header of the fragment that completed it.
struct RgbFrame {
    RgbFragmentHeader header;
    std::vector<std::uint8_t> bytes;
};

// Reassembly state of one receive thread.
struct RgbAssembly {
    std::uint32_t frameId = 0;
    std::uint32_t count = 0;
    bool overflowed = false;  // this frame id passed the size limit; ignored until the id changes
    std::vector<std::uint8_t> bytes;
    std::uint64_t abandoned = 0;  // frames given up: another id came first, or too large
};

// Feeds one datagram. True when it completed a frame, which is moved into
// out (the rest of the datagram is not examined).
bool assembleRgbFragment(const std::uint8_t* data, std::size_t n, RgbAssembly& state, RgbFrame& out);

}  // namespace orb
