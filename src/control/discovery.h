// Device discovery: active (broadcast request to port 50660 from each host
// address) and passive (device announcements on 224.0.0.200:6607).
//
// Announcement: magic 5A A5, (1), type 9, (2), CRC-8 of bytes 0..5, CRC-8 of
// bytes 8..end, (1), entry count, entries. Entry: (3), value length L, key
// (8 bytes, NUL-padded), L value bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "orb_sdk.h"
#include "record/recorder.h"

namespace orb {

constexpr int kDiscoveryReceiveTimeoutMs = 2000;
constexpr std::uint16_t kAnnouncementPort = 6607;
constexpr const char* kAnnouncementGroup = "224.0.0.200";
constexpr std::size_t kAnnouncementMaxSize = 1472;
constexpr std::size_t kPassiveResultCapacity = 15;
constexpr std::uint16_t kDiscoveryCommand = 3;

// What discovery keeps between calls: the latest message of active discovery
// and the one array every passive discovery overwrites; and the recorder the
// replies and announcements it receives are offered to.
class DiscoveryState {
public:
    explicit DiscoveryState(record::Recorder& recorder) : recorder_(recorder) {}
    record::Recorder& recorder() { return recorder_; }
    std::string message();
    void setMessage(const std::string& text);
    // The array passive discovery returns to its callers.
    ZelOrbNetInfo* passiveRecords() { return passiveRecords_; }

private:
    friend ZelOrbNetInfo* passiveFind(DiscoveryState&, const char*, std::int32_t*);
    record::Recorder& recorder_;
    std::mutex messageMutex_;
    std::string message_;
    std::mutex passiveMutex_;  // the records while a call writes them
    ZelOrbNetInfo passiveRecords_[kPassiveResultCapacity] = {};
};

// The 18-byte discovery request (frame type 3, command 3, no payload).
std::vector<std::uint8_t> buildDiscoveryRequest();
// A valid reply chain for command 3 whose status byte is not 0.
bool isDiscoveryReply(const std::uint8_t* data, std::size_t n);

// Checks magic, type and both CRCs, then fills out from the entries present
// (the rest stays zero). An entry that runs past the datagram ends the parse.
bool parseAnnouncement(const std::uint8_t* data, std::size_t n, ZelOrbNetInfo& out);

// Host addresses active discovery sends from.
std::vector<std::string> discoveryHostAddresses();

// Active discovery from every host address; see ZelOrbActiveFindDevice.
bool activeFind(DiscoveryState& state, ZelOrbFoundDevice* devices, std::uint16_t maxCount, std::int32_t* count);
// Passive discovery on the interface local_ip; see ZelOrbPassiveFindDevice.
ZelOrbNetInfo* passiveFind(DiscoveryState& state, const char* localIp, std::int32_t* count);

}  // namespace orb
