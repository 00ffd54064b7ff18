#include "record/recorder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "core/diagnostics.h"
#include "orb_sdk.h"

namespace orb::record {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
// Each wake-up costs more than the records it writes at a few thousand a
// second; the queue holds seconds of a stream.
constexpr auto kIdlePause = std::chrono::milliseconds(20);
// Bounds what a crash or a full disk can cost, and lets a reader follow the file.
constexpr auto kFlushInterval = std::chrono::milliseconds(100);
// Records are gathered and written a batch at a time: a stream write per
// datagram would be a system call per datagram.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
constexpr std::size_t kEntryAlign = 8;

std::size_t roundUpPow2(std::size_t n) {
    std::size_t p = 1024;
    while (p < n) p <<= 1;
    return p;
}

std::string systemText() {
    return errno != 0 ? std::error_code(errno, std::generic_category()).message() : "unknown error";
}

void removeIfRegular(const fs::path& p) {
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) fs::remove(p, ec);
}

}  // namespace

// What the reception side stores in front of each payload in the queue.
struct Recorder::EntryHeader {
    std::uint32_t length;
    std::uint32_t fromAddr;
    std::uint32_t toAddr;
    std::uint16_t fromPort;
    std::uint16_t toPort;
    std::int64_t timeUs;
};

Recorder::Recorder(std::size_t queueBytes) : capacity_(roundUpPow2(queueBytes)) {}

Recorder::~Recorder() { stop(); }

std::int32_t Recorder::start(const char* path) {
    if (path == nullptr || *path == '\0') return RC_FILE_OPEN_FAILED;
    std::lock_guard<std::mutex> control(controlMutex_);
    if (started_) return RC_RECORDING_ALREADY_STARTED;

    // Uninitialised on purpose: pages are touched only as the queue fills.
    std::unique_ptr<std::uint8_t[]> ring(new std::uint8_t[capacity_]);
    const fs::path p = fs::u8path(path);
    out_ = std::ofstream();
    batch_.clear();
    batch_.reserve(kBatchBytes + kPacketHeaderBytes + kMaxUdpPayload);
    errno = 0;
    out_.open(p, std::ios::binary | std::ios::trunc);
    if (!out_) {
        printDiagnostic(DiagnosticStream::Err, "Recording: cannot open %s: %s\n", path, systemText().c_str());
        return RC_FILE_OPEN_FAILED;
    }
    std::uint8_t header[kPcapFileHeaderBytes];
    encodePcapFileHeader(header);
    out_.write(reinterpret_cast<const char*>(header), sizeof header);
    out_.flush();
    if (!out_) {
        printDiagnostic(DiagnosticStream::Err, "Recording: cannot write %s: %s\n", path, systemText().c_str());
        out_.close();
        removeIfRegular(p);
        return RC_FILE_WRITE_FAILED;
    }

    path_ = p;
    ring_ = std::move(ring);
    bytesWritten_ = bytesFlushed_ = sizeof header;
    recordsFlushed_ = 0;
    ipId_ = 0;
    written_ = 0;
    dropped_ = 0;
    writeFailed_ = false;
    {
        std::lock_guard<std::mutex> lk(queueMutex_);
        head_ = tail_ = 0;
        stopping_ = false;
    }
    try {
        writer_ = std::thread([this] { run(); });
    } catch (...) {
        out_.close();
        removeIfRegular(p);
        ring_.reset();
        throw;
    }
    accepting_.store(true, std::memory_order_release);
    started_ = true;
    return RC_OK;
}

std::int32_t Recorder::stop() {
    std::lock_guard<std::mutex> control(controlMutex_);
    if (!started_) return RC_RECORDING_NOT_STARTED;
    {
        std::lock_guard<std::mutex> lk(queueMutex_);
        accepting_.store(false, std::memory_order_relaxed);
        stopping_ = true;
    }
    writer_.join();
    ring_.reset();
    started_ = false;
    const RecorderStats s = stats();
    if (s.dropped > 0)
        printDiagnostic(DiagnosticStream::Err, "Recording: %llu datagrams written, %llu not recorded (queue full)\n",
                        static_cast<unsigned long long>(s.written), static_cast<unsigned long long>(s.dropped));
    return s.writeFailed ? RC_FILE_WRITE_FAILED : RC_OK;
}

RecorderStats Recorder::stats() const {
    RecorderStats s;
    s.written = written_.load();
    s.dropped = dropped_.load();
    s.writeFailed = writeFailed_.load();
    return s;
}

void Recorder::enqueue(const net::Endpoint& from, const net::Endpoint& to, const void* data,
                       std::size_t len) noexcept {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    EntryHeader h;
    h.length = static_cast<std::uint32_t>(std::min(len, kMaxUdpPayload));
    h.fromAddr = from.addr;
    h.toAddr = to.addr;
    h.fromPort = from.port;
    h.toPort = to.port;
    h.timeUs = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const std::size_t need = (sizeof h + h.length + kEntryAlign - 1) / kEntryAlign * kEntryAlign;

    std::lock_guard<std::mutex> lk(queueMutex_);
    if (!accepting_.load(std::memory_order_relaxed)) return;
    if (capacity_ - (head_ - tail_) < need) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    copyIn(head_, &h, sizeof h);
    if (h.length > 0) copyIn(head_ + sizeof h, data, h.length);
    head_ += need;
}

void Recorder::copyIn(std::uint64_t pos, const void* src, std::size_t n) {
    const std::size_t at = static_cast<std::size_t>(pos & (capacity_ - 1));
    const std::size_t first = std::min(n, capacity_ - at);
    std::memcpy(ring_.get() + at, src, first);
    std::memcpy(ring_.get(), static_cast<const std::uint8_t*>(src) + first, n - first);
}

void Recorder::copyOut(std::uint64_t pos, void* dst, std::size_t n) const {
    const std::size_t at = static_cast<std::size_t>(pos & (capacity_ - 1));
    const std::size_t first = std::min(n, capacity_ - at);
    std::memcpy(dst, ring_.get() + at, first);
    std::memcpy(static_cast<std::uint8_t*>(dst) + first, ring_.get(), n - first);
}

bool Recorder::writeEntries(std::uint64_t from, std::uint64_t to) {
    while (from < to) {
        EntryHeader h;
        copyOut(from, &h, sizeof h);
        DatagramMeta m;
        m.from = net::Endpoint{h.fromAddr, h.fromPort};
        m.to = net::Endpoint{h.toAddr, h.toPort};
        m.timeUs = h.timeUs;
        m.length = h.length;
        std::uint8_t packet[kPacketHeaderBytes];
        encodePacketHeader(m, ipId_++, packet);
        batch_.insert(batch_.end(), packet, packet + sizeof packet);
        // The payload may wrap around the end of the ring: copied in two pieces.
        const std::size_t at = batch_.size();
        batch_.resize(at + h.length);
        copyOut(from + sizeof h, batch_.data() + at, h.length);
        bytesWritten_ += sizeof packet + h.length;
        written_.fetch_add(1, std::memory_order_relaxed);
        from += (sizeof h + h.length + kEntryAlign - 1) / kEntryAlign * kEntryAlign;
        if (batch_.size() >= kBatchBytes && !writeBatch()) return false;
    }
    return true;
}

bool Recorder::writeBatch() {
    out_.write(batch_.data(), static_cast<std::streamsize>(batch_.size()));
    batch_.clear();
    return static_cast<bool>(out_);
}

bool Recorder::flushFile() {
    if (!writeBatch()) return false;
    out_.flush();
    if (!out_) return false;
    bytesFlushed_ = bytesWritten_;
    recordsFlushed_ = written_.load(std::memory_order_relaxed);
    return true;
}

void Recorder::failWriting() {
    const std::string why = systemText();
    {
        std::lock_guard<std::mutex> lk(queueMutex_);
        accepting_.store(false, std::memory_order_relaxed);
        tail_ = head_;
    }
    out_.close();
    // Cut a partly written record off, so the file stays readable to the end.
    std::error_code ec;
    if (fs::is_regular_file(path_, ec)) fs::resize_file(path_, bytesFlushed_, ec);
    written_ = recordsFlushed_;
    writeFailed_ = true;
    printDiagnostic(DiagnosticStream::Err,
                    "Recording: writing %s failed (%s); the file keeps the first %llu datagrams\n",
                    path_.u8string().c_str(), why.c_str(), static_cast<unsigned long long>(written_.load()));
}

void Recorder::run() {
    auto lastFlush = Clock::now();
    bool unflushed = false;
    for (;;) {
        std::uint64_t head, tail;
        bool stopping;
        {
            std::lock_guard<std::mutex> lk(queueMutex_);
            head = head_;
            tail = tail_;
            stopping = stopping_;
        }
        if (head != tail) {
            errno = 0;
            if (!writeEntries(tail, head)) return failWriting();
            std::lock_guard<std::mutex> lk(queueMutex_);
            tail_ = head;
            unflushed = true;
        }
        // accepting_ was cleared before stopping_ was set: nothing more can come.
        if (stopping && head == tail) break;
        const auto now = Clock::now();
        if (unflushed && now - lastFlush >= kFlushInterval) {
            errno = 0;
            if (!flushFile()) return failWriting();
            lastFlush = now;
            unflushed = false;
        }
        if (head == tail) std::this_thread::sleep_for(kIdlePause);
    }
    errno = 0;
    if (!flushFile()) return failWriting();
    out_.close();
    if (!out_) failWriting();
}

}  // namespace orb::record
