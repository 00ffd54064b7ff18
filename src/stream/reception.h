// The process-wide point-cloud socket and its reception thread, which routes
// each datagram by source address to the device's packet queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "record/recorder.h"
#include "stream/stream_state.h"

namespace orb {

constexpr std::uint16_t kAlwaysAcceptedSourcePort = 6301;
constexpr const char* kPointCloudGroup = "224.0.0.200";

// Where the reception finds the stream of a source address. The device
// registry (a layer above) provides it; its lock, held shared while a
// datagram is routed, keeps the stream alive meanwhile.
class StreamDirectory {
public:
    virtual std::shared_mutex& mutex() = 0;
    // The stream registered under the IP text, or null. Caller holds mutex().
    virtual StreamState* findStream(const std::string& ip) = 0;

protected:
    ~StreamDirectory() = default;
};

// Counters of the reception thread; read by tests and benchmarks.
struct ReceptionStats {
    std::uint64_t datagrams = 0;      // received from the socket
    std::uint64_t unknownSource = 0;  // no device registered under the address
    std::int64_t grantedRecvBuffer = 0;  // bytes the system granted the socket; 0 before one opened
};

class Reception {
public:
    // The receive area is allocated here, once for the process. Every
    // datagram received is offered to the recorder.
    Reception(StreamDirectory& directory, record::Recorder& recorder);
    ~Reception();  // ends the thread and closes the socket
    Reception(const Reception&) = delete;
    Reception& operator=(const Reception&) = delete;

    // Serialises starting and stopping; held by the caller around open() ..
    // startThread() and around stop().
    std::mutex& startStopMutex() { return apiMutex_; }

    // (Re)opens the socket on the port: receive buffer, bind to 0.0.0.0,
    // multicast membership on hostIp. RC_OK, or the code of the failure (a
    // failed bind also stops a running reception).
    std::int32_t open(const char* hostIp, std::int32_t port);
    // Starts the thread unless it runs (it may throw when no thread is to be had).
    void startThread();
    // Closes the socket; the thread sees the flag within about 1 ms and is joined.
    std::int32_t stop();

    ReceptionStats stats() const;
    void resetUnknownSource();
    bool threadRunning() const { return threadActive_.load(); }

private:
    void run();
    // Queues one datagram on its device's stream (directory lock held
    // shared): the stream whose packet thread is to be woken, or null.
    StreamState* route(const std::uint8_t* data, int len, const net::Endpoint& from, const std::string& sourceText);
    void joinFinished();

    StreamDirectory& directory_;
    record::Recorder& recorder_;
    std::mutex apiMutex_;
    std::mutex sockMutex_;  // the handle against a receive in progress: a closed
                            // descriptor number must never be read after reuse
    net::Socket sock_ = net::kInvalidSocket;
    // Where datagrams are recorded as sent to: the host address the socket
    // was opened for (not the one each came to, a multicast group for
    // instance, which the socket does not tell) and its port. Under sockMutex_.
    net::Endpoint local_;
    std::atomic<bool> receiveActive_{false};
    std::atomic<bool> threadActive_{false};
    std::thread thread_;
    std::vector<std::uint8_t> staging_;  // the reception thread's receive area, kept for the process

    std::atomic<std::uint64_t> datagrams_{0}, unknownSource_{0};
    std::atomic<std::int64_t> grantedRecvBuffer_{0};
};

}  // namespace orb
