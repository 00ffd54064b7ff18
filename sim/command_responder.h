// The camera's command channel: a UDP socket on the device address, port
// 50660, answering every command frame from the settings store, with fault
// injection and a record of every request for byte-exact assertions.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/net.h"
#include "settings_store.h"

namespace orbsim {

constexpr std::uint16_t kCommandPort = 50660;

struct RecordedRequest {
    std::vector<std::uint8_t> bytes;  // the datagram as received
    orb::net::Endpoint from;
    std::chrono::steady_clock::time_point time;

    // Command code of the frame (bytes 6..7), or -1 when the datagram is too
    // short to carry one.
    int command() const;
    // Payload of a well-formed frame; empty otherwise.
    std::vector<std::uint8_t> payload() const;
};

// What to do differently for a request. Fields combine; the order on the wire
// is: (delay) stray reply, wrong-code reply, the reply itself.
struct Fault {
    // Requests the fault still applies to; -1 until cleared. A fault whose
    // count runs out is removed, so e.g. {remaining = 1, silent = true} drops
    // one request and answers its resend.
    int remaining = -1;
    bool silent = false;                         // send no reply of our own
    int delayMs = 0;                             // hold every datagram of the answer this long
    std::optional<std::uint8_t> status;          // status byte of the reply
    std::optional<std::uint16_t> replyCommand;   // answer with this code instead of the request's
    std::optional<std::uint16_t> wrongCommandFirst;  // send a reply with this code, then the real one
    // Reply as a chain of two frames (frame count 2) in two datagrams: the
    // first frame (carrying the payload) at once, the second (empty) when the
    // same sender repeats the same command, or after splitSecondDelayMs when
    // that is 0 or more.
    bool splitChain = false;
    int splitSecondDelayMs = -1;
    std::optional<std::size_t> truncatePayload;  // cut the reply payload to this many bytes
    std::optional<std::vector<std::uint8_t>> payload;  // reply payload instead of the store's
    // Before the reply, send a copy from another local address (ephemeral
    // port): the request's code, status 0, strayPayload or else the real
    // payload with every byte inverted. With `silent` this is the only reply.
    std::string strayFromIp;
    std::optional<std::vector<std::uint8_t>> strayPayload;
};

struct ResponderOptions {
    std::string deviceIp = "127.0.0.2";
    bool bindAny = false;  // bind 0.0.0.0 instead of deviceIp (network-namespace tests)
    std::uint16_t port = kCommandPort;
    std::size_t maxRecorded = 65536;  // oldest requests are dropped beyond this
};

class CommandResponder {
public:
    CommandResponder(std::shared_ptr<SettingsStore> store, ResponderOptions options);
    ~CommandResponder();
    CommandResponder(const CommandResponder&) = delete;
    CommandResponder& operator=(const CommandResponder&) = delete;

    // Binds the socket and starts the thread. False (with a reason) when the
    // address cannot be bound. Starting a running responder is a no-op.
    bool start(std::string* error = nullptr);
    // Joins the thread (within a few tens of milliseconds) and closes the socket.
    void stop();
    bool running() const { return running_.load(); }

    // Status byte of successful replies (default 0; the library treats 1 and 2
    // as success too).
    void setSuccessStatus(std::uint8_t status) { successStatus_.store(status); }

    void setFault(std::uint16_t command, const Fault& fault);
    void setFaultAll(const Fault& fault);  // for every command without its own fault
    void clearFault(std::uint16_t command);
    void clearFaults();

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsFor(std::uint16_t command) const;
    void clearRequests();
    // Waits (bounded) until at least `count` requests are recorded.
    bool waitForRequests(std::size_t count, int timeoutMs) const;

    std::uint64_t requestCount() const { return received_.load(); }
    std::uint64_t answeredCount() const { return answered_.load(); }
    // How often an action command (start 0, stop 1, soft trigger 2, save 4,
    // remove 5) was received.
    std::uint64_t actionCount(std::uint16_t command) const;

    const std::shared_ptr<SettingsStore>& store() const { return store_; }
    const ResponderOptions& options() const { return options_; }

    // Sends bytes to `to` from a fresh socket bound to fromIp, ephemeral port.
    static bool sendFrom(const std::string& fromIp, const orb::net::Endpoint& to,
                         const std::vector<std::uint8_t>& bytes);

private:
    struct Outgoing {
        std::chrono::steady_clock::time_point due;
        orb::net::Endpoint to;
        std::vector<std::uint8_t> bytes;
        std::string fromIp;  // empty: our own socket
        bool answer = false;  // counts as an answered request
    };

    void run();
    void handle(const std::uint8_t* data, std::size_t len, const orb::net::Endpoint& from);
    std::optional<Fault> takeFault(std::uint16_t command);
    void flushDue(bool all);
    void transmit(const Outgoing& o);

    std::shared_ptr<SettingsStore> store_;
    const ResponderOptions options_;
    orb::net::Socket sock_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::uint8_t> successStatus_{0};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> answered_{0};

    std::mutex faultMutex_;
    std::map<std::uint16_t, Fault> faults_;
    std::optional<Fault> faultAll_;

    mutable std::mutex recordMutex_;
    mutable std::condition_variable recordCv_;
    std::deque<RecordedRequest> records_;
    std::map<std::uint16_t, std::uint64_t> actionCounts_;

    // Responder thread only.
    std::vector<Outgoing> pending_;
    // Second halves of split chains waiting for the request to be repeated,
    // keyed by sender address, port and command.
    std::map<std::tuple<std::uint32_t, std::uint16_t, std::uint16_t>, std::vector<std::uint8_t>> splitHalves_;
};

}  // namespace orbsim
