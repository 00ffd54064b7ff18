// The camera's announcements: every interval a datagram to 224.0.0.200:6607
// from a chosen interface address, carrying the network settings of the
// settings store as the entries "module", "server", "port" and "lport".
//
// Datagram: 5A A5, 01, type 9, 00 00, CRC-8 of bytes 0..5, CRC-8 of bytes
// 8..end, 00, entry count, entries. Entry: 00 00 00, value length L, key
// (8 bytes, NUL-padded), L value bytes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "settings_store.h"

namespace orbsim {

constexpr const char* kAnnouncementGroup = "224.0.0.200";
constexpr std::uint16_t kAnnouncementPort = 6607;

struct AnnouncerOptions {
    std::string interfaceIp = "127.0.0.2";  // source address and outgoing multicast interface
    int intervalMs = 1000;
};

class Announcer {
public:
    Announcer(std::shared_ptr<SettingsStore> store, AnnouncerOptions options);
    ~Announcer();
    Announcer(const Announcer&) = delete;
    Announcer& operator=(const Announcer&) = delete;

    // Opens the socket (in the network namespace of the calling thread),
    // sends the first announcement at once and then one per interval.
    bool start(std::string* error = nullptr);
    void stop();

    std::uint64_t sentCount() const { return sent_.load(); }

    static std::vector<std::uint8_t> encode(const NetSettings& n);

private:
    void run();

    std::shared_ptr<SettingsStore> store_;
    const AnnouncerOptions options_;
    orb::net::Socket sock_ = orb::net::kInvalidSocket;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopRequested_ = false;  // under mutex_
    std::atomic<std::uint64_t> sent_{0};
};

}  // namespace orbsim
