// The simulator's own byte helpers and command-frame codec. Kept apart from
// the library's code on purpose: the simulator is the reference the library is
// tested against, so it must not share the library's encoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace orbsim::wire {

using Bytes = std::vector<std::uint8_t>;

inline void putU16BE(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}
inline void putU32BE(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
inline void putU16LE(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void putU32LE(Bytes& b, std::uint32_t v) {
    for (int s = 0; s <= 24; s += 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}
inline void putF32LE(Bytes& b, float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    putU32LE(b, bits);
}
inline void putF64LE(Bytes& b, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    for (int s = 0; s <= 56; s += 8) b.push_back(static_cast<std::uint8_t>(bits >> s));
}

// Readers take a pointer the caller has bounds-checked.
inline std::uint16_t getU16BE(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t getU32BE(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint16_t getU16LE(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t getU32LE(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
inline double getF64LE(const std::uint8_t* p) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | p[i];
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

inline Bytes doublesLE(const std::vector<double>& values) {
    Bytes b;
    b.reserve(values.size() * 8);
    for (double d : values) putF64LE(b, d);
    return b;
}

// ---- command frame ---------------------------------------------------------
// head magic | type | status | command BE | count BE | reserved BE | length BE
// | payload | tail magic
constexpr std::uint8_t kHeadMagic[4] = {0xA5, 0x5A, 0xAA, 0x55};
constexpr std::uint8_t kTailMagic[4] = {0x5A, 0xA5, 0x55, 0xAA};
constexpr std::size_t kFrameOverhead = 18;
constexpr std::uint8_t kFrameTypeCommand = 0x3F;
constexpr std::uint8_t kFrameTypeDiscovery = 3;
constexpr std::uint16_t kDiscoveryCommand = 3;

struct CommandFrame {
    std::uint8_t type = kFrameTypeCommand;
    std::uint8_t status = 0;
    std::uint16_t command = 0;
    std::uint16_t count = 1;
    std::uint16_t reserved = 1;
    Bytes payload;
};

inline void appendFrame(Bytes& out, const CommandFrame& f) {
    out.insert(out.end(), kHeadMagic, kHeadMagic + 4);
    out.push_back(f.type);
    out.push_back(f.status);
    putU16BE(out, f.command);
    putU16BE(out, f.count);
    putU16BE(out, f.reserved);
    putU16BE(out, static_cast<std::uint16_t>(f.payload.size()));
    out.insert(out.end(), f.payload.begin(), f.payload.end());
    out.insert(out.end(), kTailMagic, kTailMagic + 4);
}

inline Bytes encodeFrame(const CommandFrame& f) {
    Bytes out;
    out.reserve(f.payload.size() + kFrameOverhead);
    appendFrame(out, f);
    return out;
}

enum class DecodeResult {
    Ok,
    TooShort,       // fewer bytes than a header, or than the announced payload + tail
    BadHeadMagic,
    BadTailMagic,
};

// Decodes the frame starting at data[0]; on Ok, *used is its length (N + 18).
inline DecodeResult decodeFrame(const std::uint8_t* data, std::size_t len, CommandFrame& out,
                                std::size_t* used = nullptr) {
    if (len < kFrameOverhead) return len >= 4 && std::memcmp(data, kHeadMagic, 4) != 0
                                          ? DecodeResult::BadHeadMagic
                                          : DecodeResult::TooShort;
    if (std::memcmp(data, kHeadMagic, 4) != 0) return DecodeResult::BadHeadMagic;
    const std::size_t n = getU16BE(data + 12);
    if (len < n + kFrameOverhead) return DecodeResult::TooShort;
    if (std::memcmp(data + 14 + n, kTailMagic, 4) != 0) return DecodeResult::BadTailMagic;
    out.type = data[4];
    out.status = data[5];
    out.command = getU16BE(data + 6);
    out.count = getU16BE(data + 8);
    out.reserved = getU16BE(data + 10);
    out.payload.assign(data + 14, data + 14 + n);
    if (used) *used = n + kFrameOverhead;
    return DecodeResult::Ok;
}

inline DecodeResult decodeFrame(const Bytes& b, CommandFrame& out, std::size_t* used = nullptr) {
    return decodeFrame(b.data(), b.size(), out, used);
}

}  // namespace orbsim::wire
