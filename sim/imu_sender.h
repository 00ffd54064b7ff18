// The camera's nine-axis IMU: 58-byte frames sent to the host address and
// data port + 1 that the handshake announced, at a chosen rate.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/net.h"
#include "settings_store.h"
#include "wire_sim.h"

namespace orbsim {

struct ImuSample {
    std::uint64_t seconds = 0;        // 48 bits go on the wire
    std::uint32_t microseconds = 0;
    std::uint32_t axisBits[9] = {};   // sent big-endian
    std::uint8_t reserved[4] = {};    // bytes 4..7, not examined by the host
};

// Frame: 55 AA 5A A5 | 4 reserved | seconds (6, LE) | microseconds (4, LE) |
// nine values (4 each, BE) | AA 55 A5 5A.
wire::Bytes encodeImuFrame(const ImuSample& s);
// Sample i of the sender's sequence: time i milliseconds after 1000 s, axis
// values i + k / 4 (k = 0..8) as IEEE-754 floats.
ImuSample imuSampleFor(std::uint64_t index);

class ImuSender {
public:
    // rateHz 0: nothing is sent on its own; use sendSample / sendRaw.
    ImuSender(std::shared_ptr<SettingsStore> store, double rateHz);
    ~ImuSender();
    ImuSender(const ImuSender&) = delete;
    ImuSender& operator=(const ImuSender&) = delete;

    bool start(std::string* error = nullptr);  // socket on the device address, sending thread
    void stop();

    // Sends now to the handshake's host; false before a handshake or when sending fails.
    bool sendSample(const ImuSample& s);
    bool sendRaw(const wire::Bytes& datagram);

    std::uint64_t sent() const { return sent_.load(); }
    void setRate(double hz) { rateHz_.store(hz); }

private:
    void run();

    std::shared_ptr<SettingsStore> store_;
    std::atomic<double> rateHz_;
    std::mutex sockMutex_;
    orb::net::Socket sock_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::thread thread_;
};

}  // namespace orbsim
