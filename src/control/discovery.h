// Device discovery: active (broadcast request to port 50660 from each host
// address) and passive (device announcements on 224.0.0.200:6607).
//
// Announcement: magic 5A A5, (1), type 9, (2), CRC-8 of bytes 0..5, CRC-8 of
// bytes 8..end, (1), entry count, entries. Entry: (3), value length L, key
// (8 bytes, NUL-padded), L value bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "orb_sdk.h"

namespace orb {

constexpr int kDiscoveryReceiveTimeoutMs = 2000;
constexpr std::uint16_t kAnnouncementPort = 6607;
constexpr const char* kAnnouncementGroup = "224.0.0.200";
constexpr std::size_t kAnnouncementMaxSize = 1472;
constexpr std::size_t kPassiveResultCapacity = 15;
constexpr std::uint16_t kDiscoveryCommand = 3;

// The 18-byte discovery request (frame type 3, command 3, no payload).
std::vector<std::uint8_t> BuildDiscoveryRequest();
// A valid reply chain for command 3 whose status byte is not 0.
bool IsDiscoveryReply(const std::uint8_t* data, std::size_t n);

// Checks magic, type and both CRCs, then fills out from the entries present
// (the rest stays zero). An entry that runs past the datagram ends the parse.
bool ParseAnnouncement(const std::uint8_t* data, std::size_t n, ZelOrbNetInfo& out);

// Host addresses active discovery sends from.
std::vector<std::string> DiscoveryHostAddresses();

// The latest message of active discovery.
std::string DiscoveryMessage();

}  // namespace orb
