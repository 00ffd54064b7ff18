// The camera's control server: TCP on the device address, port 6501,
// answering receive-size, network-settings and mode frames from the settings
// store, with fault injection and a record of every request.
//
// Frame: 5A A5 01 06, 00 00, flag, 65, 9A, command (LE u16), length N (LE
// u16), six reserved bytes, CRC-8 of bytes 0..18, CRC-8 of the payload, N
// payload bytes. Reply payloads start with a 4-byte result (LE u32).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "settings_store.h"

namespace orbsim {

constexpr std::uint16_t kControlServerPort = 6501;

// CRC-8: polynomial 0x31, initial 0, most significant bit first.
std::uint8_t crc8(const std::uint8_t* data, std::size_t n);

namespace cs {
constexpr std::size_t kHeaderSize = 21;
constexpr std::uint16_t kGetReceiveSize = 1;
constexpr std::uint16_t kSetReceiveSize = 2;
constexpr std::uint16_t kMode = 0x0100;
constexpr std::uint16_t kSetNetSettings = 0x0201;
constexpr std::uint16_t kGetNetSettings = 0x0202;
constexpr std::uint32_t kResultOk = 0;
constexpr std::uint32_t kResultError = 1;

struct Frame {
    std::uint8_t flag = 1;    // 1 in requests and ordinary replies, 0 in the mode reply
    std::uint8_t byte13 = 0;  // 1 in the mode reply
    std::uint16_t command = 0;
    std::vector<std::uint8_t> payload;
};

std::vector<std::uint8_t> encode(const Frame& f);
// A reply: result, then data.
std::vector<std::uint8_t> encodeReply(std::uint16_t command, std::uint32_t result,
                                      const std::vector<std::uint8_t>& data = {});
// The 44-byte settings payload.
std::vector<std::uint8_t> encodeNetSettings(const NetSettings& n);
}  // namespace cs

enum class CsFault {
    None,
    BadHeaderCrc,      // reply's header check inverted
    BadPayloadCrc,     // reply's payload check inverted
    LengthTooLong,     // announces one byte more than it carries (header check fixed up)
    LengthTooShort,    // announces one byte less than it carries (header check fixed up)
    Silence,           // no reply
    CloseConnection,   // closes the connection instead of replying
    SplitSegments,     // reply sent in two parts, 30 ms apart
};

struct CsRequest {
    std::vector<std::uint8_t> bytes;  // the whole frame as received
    std::uint16_t command = 0;
    std::vector<std::uint8_t> payload;
    bool headerCrcOk = false;
    bool payloadCrcOk = false;
};

struct ControlServerOptions {
    std::string deviceIp = "127.0.0.2";
    bool bindAny = false;  // bind 0.0.0.0 (network-namespace tests)
    std::uint16_t port = kControlServerPort;
    std::int32_t receiveSize = 1024;   // what command 1 reports until command 2 changes it
    bool acceptReceiveSize = true;     // whether command 2 succeeds
};

class ControlServer {
public:
    ControlServer(std::shared_ptr<SettingsStore> store, ControlServerOptions options);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds and listens, then serves one connection at a time on its thread.
    bool start(std::string* error = nullptr);
    void stop();  // joins the thread within a few tens of milliseconds

    // Applies `fault` to the next `remaining` replies (-1: until cleared) to
    // `command` (-1: any command).
    void setFault(CsFault fault, int remaining = -1, int command = -1);
    void clearFault();
    // Reply data length of command 514 (padded with zeros or cut); -1: 44.
    void setNetReplyDataLength(int n) { netReplyLength_.store(n); }

    std::vector<CsRequest> requests() const;
    std::vector<CsRequest> requestsFor(std::uint16_t command) const;
    void clearRequests();
    std::uint64_t connectionCount() const { return connections_.load(); }
    std::int32_t receiveSize() const { return receiveSize_.load(); }

    const std::shared_ptr<SettingsStore>& store() const { return store_; }

private:
    void run();
    void serve(orb::net::Socket c);
    // False when the connection is to be closed.
    bool handle(orb::net::Socket c, const std::uint8_t* frame, std::size_t len);
    CsFault takeFault(std::uint16_t command);
    std::vector<std::uint8_t> answer(const CsRequest& req);

    std::shared_ptr<SettingsStore> store_;
    const ControlServerOptions options_;
    orb::net::Socket listener_ = orb::net::kInvalidSocket;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::int32_t> receiveSize_;
    std::atomic<int> netReplyLength_{-1};

    std::mutex faultMutex_;
    CsFault fault_ = CsFault::None;
    int faultRemaining_ = 0;
    int faultCommand_ = -1;

    mutable std::mutex recordMutex_;
    std::vector<CsRequest> records_;
};

}  // namespace orbsim
