// Network settings and operating mode over the control-server connection.
//
// Settings payload (44 bytes): device IPv4 (network order), host IPv4
// (network order), device port (LE u16), host port (LE u16), then 32 bytes
// of further settings the library does not interpret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "orb_sdk.h"

namespace orb {

constexpr std::size_t kNetSettingsSize = 44;
constexpr std::size_t kNetSettingsExtraOffset = 12;
constexpr std::size_t kNetSettingsExtraSize = kNetSettingsSize - kNetSettingsExtraOffset;
constexpr int kNetSettingsTimeoutMs = 3000;
constexpr int kDeviceModeTimeoutMs = 1000;
constexpr int kModeFrameAttempts = 3;
constexpr std::uint16_t kNetSettingsAttempts = 2;

// The two fixed mode frames (mode 0: value 1; mode 1: value 9) and the reply
// the device confirms either with.
extern const char* const kModeFrameSingleEchoHex;
extern const char* const kModeFrameDualEchoHex;
extern const char* const kModeReplyHex;

// Fills offsets 0..11 from the record (at most 35 characters of each address
// text; an address that does not parse, or is 0.0.0.0, fails) and 12..43 from
// extra (zeros when null).
bool encodeNetSettings(const ZelOrbNetInfo& info, const std::uint8_t* extra, std::uint8_t out[kNetSettingsSize]);
// Fails unless n is exactly 44; the record is written whole on success only.
bool decodeNetSettings(const std::uint8_t* data, std::size_t n, ZelOrbNetInfo& out);

// Bytes 12..43 as last read from each device, so that a write gives back
// what the library does not interpret instead of zeroing it.
class NetSettingsExtras {
public:
    // Keeps bytes 12..43 of a 44-byte settings payload read from the device at ip.
    void remember(const char* ip, const std::vector<std::uint8_t>& payload);
    // Bytes 12..43 last read from the device at ip; false when none were.
    bool recall(const char* ip, std::uint8_t out[kNetSettingsExtraSize]);
    void forgetAll();

private:
    std::mutex mutex_;
    std::map<std::string, std::vector<std::uint8_t>> byIp_;
};

}  // namespace orb
