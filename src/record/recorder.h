// Records the datagrams the library receives into a capture file. Reception
// threads only copy each datagram into a bounded in-memory queue; one writer
// thread turns the queue into file records. A full queue drops the copy (and
// counts it), never the datagram itself, so recording cannot slow a stream.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "record/pcap_file.h"

namespace orb::record {

struct RecorderStats {
    std::uint64_t written = 0;  // datagrams written to the file (after a failed write: those it keeps)
    std::uint64_t dropped = 0;  // datagrams not recorded because the queue was full
    bool writeFailed = false;
};

class Recorder {
public:
    static constexpr std::size_t kDefaultQueueBytes = std::size_t{32} << 20;

    // queueBytes is rounded up to a power of two.
    explicit Recorder(std::size_t queueBytes = kDefaultQueueBytes);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // RC_OK; RC_FILE_OPEN_FAILED (null, empty or unusable path: no file is
    // created); RC_FILE_WRITE_FAILED (the file header could not be written:
    // the file is removed); RC_RECORDING_ALREADY_STARTED.
    std::int32_t start(const char* path);
    // Writes what is queued and closes the file. RC_OK; RC_FILE_WRITE_FAILED
    // when a write failed during the recording (the file then ends after the
    // last whole record); RC_RECORDING_NOT_STARTED.
    std::int32_t stop();

    bool recording() const { return accepting_.load(std::memory_order_relaxed); }

    // Called on receive paths with each datagram and its addresses; takes the
    // arrival time itself. Costs one atomic load when not recording.
    void capture(const net::Endpoint& from, const net::Endpoint& to, const void* data, std::size_t len) noexcept {
        if (accepting_.load(std::memory_order_acquire)) enqueue(from, to, data, len);
    }

    // Of the running recording, or of the last one after stop().
    RecorderStats stats() const;

private:
    struct EntryHeader;

    void enqueue(const net::Endpoint& from, const net::Endpoint& to, const void* data, std::size_t len) noexcept;
    void copyIn(std::uint64_t pos, const void* src, std::size_t n);
    void copyOut(std::uint64_t pos, void* dst, std::size_t n) const;
    void run();
    bool writeEntries(std::uint64_t from, std::uint64_t to);
    bool writeBatch();
    bool flushFile();
    void failWriting();

    const std::size_t capacity_;  // power of two
    std::unique_ptr<std::uint8_t[]> ring_;

    std::mutex controlMutex_;  // start and stop
    bool started_ = false;
    std::filesystem::path path_;
    std::ofstream out_;           // writer thread only while started
    std::vector<char> batch_;     // writer thread only: records not yet handed to out_
    std::uint64_t bytesWritten_ = 0;  // writer thread only
    std::uint64_t bytesFlushed_ = 0;  // writer thread only: the file holds this many whole bytes
    std::uint64_t recordsFlushed_ = 0;  // writer thread only: and this many records
    std::uint16_t ipId_ = 0;          // writer thread only
    std::thread writer_;

    // Queue positions (monotonic byte counts), guarded by queueMutex_.
    mutable std::mutex queueMutex_;
    std::uint64_t head_ = 0;
    std::uint64_t tail_ = 0;
    bool stopping_ = false;

    std::atomic<bool> accepting_{false};
    std::atomic<bool> writeFailed_{false};
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace orb::record
