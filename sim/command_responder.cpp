#include "command_responder.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "wire_sim.h"

namespace orbsim {

namespace net = orb::net;
using Clock = std::chrono::steady_clock;
using wire::Bytes;

namespace {

constexpr int kPollMs = 20;  // bounds how long stop() waits for the thread
constexpr std::size_t kMaxDatagram = 65535;

bool isAction(std::uint16_t c) {
    return c == cmd::kStart || c == cmd::kStop || c == cmd::kSoftTrigger || c == cmd::kSaveConfig ||
           c == cmd::kRemoveConfig;
}

}  // namespace

int RecordedRequest::command() const {
    return bytes.size() >= 8 ? wire::getU16BE(bytes.data() + 6) : -1;
}

std::vector<std::uint8_t> RecordedRequest::payload() const {
    wire::CommandFrame f;
    if (wire::decodeFrame(bytes, f) != wire::DecodeResult::Ok) return {};
    return f.payload;
}

CommandResponder::CommandResponder(std::shared_ptr<SettingsStore> store, ResponderOptions options)
    : store_(std::move(store)), options_(std::move(options)), sock_(net::kInvalidSocket) {}

CommandResponder::~CommandResponder() { stop(); }

bool CommandResponder::start(std::string* error) {
    if (running_.load()) return true;
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + net::lastErrorText();
        if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
        sock_ = net::kInvalidSocket;
        return false;
    };
    sock_ = net::udpSocket();
    if (sock_ == net::kInvalidSocket) return fail("socket");
    const std::string ip = options_.bindAny ? std::string("0.0.0.0") : options_.deviceIp;
    // Only the wildcard bind shares the port (with the host's own control
    // socket in the same namespace); a second camera on the same address must
    // fail instead of silently splitting the traffic.
    if (options_.bindAny && !net::setReuseAddr(sock_)) return fail("SO_REUSEADDR");
    if (!net::bindTo(sock_, ip.c_str(), options_.port))
        return fail("bind " + ip + ":" + std::to_string(options_.port));
    if (!net::setNonBlocking(sock_, true)) return fail("non-blocking");
    stopRequested_.store(false);
    running_.store(true);
    thread_ = std::thread([this] { run(); });
    return true;
}

void CommandResponder::stop() {
    stopRequested_.store(true);
    if (thread_.joinable()) thread_.join();
    if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
    sock_ = net::kInvalidSocket;
    running_.store(false);
}

void CommandResponder::setFault(std::uint16_t command, const Fault& fault) {
    std::lock_guard<std::mutex> lk(faultMutex_);
    faults_[command] = fault;
}

void CommandResponder::setFaultAll(const Fault& fault) {
    std::lock_guard<std::mutex> lk(faultMutex_);
    faultAll_ = fault;
}

void CommandResponder::clearFault(std::uint16_t command) {
    std::lock_guard<std::mutex> lk(faultMutex_);
    faults_.erase(command);
}

void CommandResponder::clearFaults() {
    std::lock_guard<std::mutex> lk(faultMutex_);
    faults_.clear();
    faultAll_.reset();
}

std::optional<Fault> CommandResponder::takeFault(std::uint16_t command) {
    std::lock_guard<std::mutex> lk(faultMutex_);
    auto use = [](Fault& f) -> std::optional<Fault> {
        if (f.remaining == 0) return std::nullopt;
        if (f.remaining > 0) --f.remaining;
        return f;
    };
    auto it = faults_.find(command);
    if (it != faults_.end()) {
        auto f = use(it->second);
        if (it->second.remaining == 0) faults_.erase(it);
        if (f) return f;
    }
    if (faultAll_) {
        auto f = use(*faultAll_);
        if (faultAll_->remaining == 0) faultAll_.reset();
        return f;
    }
    return std::nullopt;
}

std::vector<RecordedRequest> CommandResponder::requests() const {
    std::lock_guard<std::mutex> lk(recordMutex_);
    return std::vector<RecordedRequest>(records_.begin(), records_.end());
}

std::vector<RecordedRequest> CommandResponder::requestsFor(std::uint16_t command) const {
    std::lock_guard<std::mutex> lk(recordMutex_);
    std::vector<RecordedRequest> out;
    for (const auto& r : records_)
        if (r.command() == command) out.push_back(r);
    return out;
}

void CommandResponder::clearRequests() {
    std::lock_guard<std::mutex> lk(recordMutex_);
    records_.clear();
}

bool CommandResponder::waitForRequests(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lk(recordMutex_);
    return recordCv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return records_.size() >= count; });
}

std::uint64_t CommandResponder::actionCount(std::uint16_t command) const {
    std::lock_guard<std::mutex> lk(recordMutex_);
    auto it = actionCounts_.find(command);
    return it == actionCounts_.end() ? 0 : it->second;
}

bool CommandResponder::sendFrom(const std::string& fromIp, const net::Endpoint& to, const Bytes& bytes) {
    net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket) return false;
    bool ok = net::bindTo(s, fromIp.c_str(), 0) &&
              net::sendTo(s, bytes.data(), bytes.size(), to) == static_cast<int>(bytes.size());
    net::closeSocket(s);
    return ok;
}

void CommandResponder::run() {
    std::vector<std::uint8_t> buf(kMaxDatagram);
    while (!stopRequested_.load()) {
        int waitMs = kPollMs;
        if (!pending_.empty()) {
            auto next = std::min_element(pending_.begin(), pending_.end(),
                                         [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; })
                            ->due;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            waitMs = static_cast<int>(std::clamp<long long>(ms, 0, kPollMs));
        }
        if (net::waitReadable(sock_, waitMs)) {
            // Drain what is queued, bounded so due replies are not starved.
            for (int i = 0; i < 64 && !stopRequested_.load(); ++i) {
                net::Endpoint from;
                int n = net::recvFrom(sock_, buf.data(), buf.size(), &from);
                if (n < 0) break;
                handle(buf.data(), static_cast<std::size_t>(n), from);
            }
        }
        flushDue(false);
    }
    pending_.clear();
    splitHalves_.clear();
}

void CommandResponder::flushDue(bool all) {
    if (pending_.empty()) return;
    const auto now = Clock::now();
    // Send in due order; equal due times keep their queued order.
    std::stable_sort(pending_.begin(), pending_.end(), [](const Outgoing& a, const Outgoing& b) { return a.due < b.due; });
    std::size_t sent = 0;
    while (sent < pending_.size() && (all || pending_[sent].due <= now)) transmit(pending_[sent++]);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
}

void CommandResponder::transmit(const Outgoing& o) {
    const bool sent = o.fromIp.empty()
                          ? net::sendTo(sock_, o.bytes.data(), o.bytes.size(), o.to) == static_cast<int>(o.bytes.size())
                          : sendFrom(o.fromIp, o.to, o.bytes);
    if (sent) store_->countSent(o.to.port);
    if (o.answer) answered_.fetch_add(1);
}

void CommandResponder::handle(const std::uint8_t* data, std::size_t len, const net::Endpoint& from) {
    const auto now = Clock::now();
    {
        std::lock_guard<std::mutex> lk(recordMutex_);
        records_.push_back(RecordedRequest{Bytes(data, data + len), from, now});
        while (records_.size() > options_.maxRecorded) records_.pop_front();
    }
    recordCv_.notify_all();
    received_.fetch_add(1);

    wire::CommandFrame req;
    const auto decoded = wire::decodeFrame(data, len, req);
    if (decoded != wire::DecodeResult::Ok) {
        // Garbage without our head magic is ignored like a real device would;
        // a frame we can name but not parse gets a structure error.
        if (decoded == wire::DecodeResult::BadHeadMagic || len < 8) return;
        req.command = wire::getU16BE(data + 6);
        req.type = data[4];
    }

    const auto key = std::make_tuple(from.addr, from.port, req.command);
    if (decoded == wire::DecodeResult::Ok) {
        auto half = splitHalves_.find(key);
        if (half != splitHalves_.end()) {
            pending_.push_back(Outgoing{now, from, std::move(half->second), std::string(), false});
            splitHalves_.erase(half);
            flushDue(false);
            return;
        }
    }

    // The reply the camera would give without faults.
    wire::CommandFrame reply;
    reply.type = req.type;
    reply.command = req.command;
    std::uint8_t st = status::kOk;
    const bool discovery = decoded == wire::DecodeResult::Ok && req.type == wire::kFrameTypeDiscovery &&
                           req.command == wire::kDiscoveryCommand;
    if (decoded != wire::DecodeResult::Ok) {
        st = status::kStructureIncorrect;
    } else if (discovery) {
        st = status::kDiscoveryReply;  // discovery answers must carry a non-zero status
    } else if (req.command == cmd::kHandshake) {
        if (req.payload.size() != 6) {
            st = status::kStructureIncorrect;
        } else {
            std::uint32_t addr;
            std::memcpy(&addr, req.payload.data(), 4);  // already network order
            HandshakeInfo h;
            h.received = true;
            h.hostIp = net::formatIPv4(addr);
            h.dataPort = wire::getU16BE(req.payload.data() + 4);
            store_->setHandshake(h);
        }
    } else if (isAction(req.command)) {
        std::lock_guard<std::mutex> lk(recordMutex_);
        ++actionCounts_[req.command];
    } else if (SettingsStore::isGetter(req.command)) {
        reply.payload = store_->payload(req.command);
    } else if (SettingsStore::isSetter(req.command)) {
        st = store_->applySetter(req.command, req.payload);
    } else {
        st = status::kCommandUndefined;
    }
    if (st == status::kOk) st = successStatus_.load();
    reply.status = st;

    const auto fault = takeFault(req.command);
    if (!fault) {
        pending_.push_back(Outgoing{now, from, wire::encodeFrame(reply), std::string(), true});
        flushDue(false);
        return;
    }

    const Fault& f = *fault;
    if (f.status) reply.status = *f.status;
    if (f.payload) reply.payload = *f.payload;
    if (f.truncatePayload && reply.payload.size() > *f.truncatePayload) reply.payload.resize(*f.truncatePayload);
    if (f.replyCommand) reply.command = *f.replyCommand;
    const auto due = now + std::chrono::milliseconds(std::max(0, f.delayMs));

    if (!f.strayFromIp.empty()) {
        wire::CommandFrame stray = reply;
        stray.command = req.command;
        stray.status = status::kOk;
        if (f.strayPayload) {
            stray.payload = *f.strayPayload;
        } else {
            for (auto& b : stray.payload) b = static_cast<std::uint8_t>(~b);
        }
        pending_.push_back(Outgoing{due, from, wire::encodeFrame(stray), f.strayFromIp, false});
    }
    if (!f.silent) {
        if (f.wrongCommandFirst) {
            wire::CommandFrame wrong = reply;
            wrong.command = *f.wrongCommandFirst;
            pending_.push_back(Outgoing{due, from, wire::encodeFrame(wrong), std::string(), false});
        }
        if (f.splitChain) {
            reply.count = 2;
            wire::CommandFrame second = reply;
            second.payload.clear();
            pending_.push_back(Outgoing{due, from, wire::encodeFrame(reply), std::string(), true});
            if (f.splitSecondDelayMs >= 0)
                pending_.push_back(Outgoing{due + std::chrono::milliseconds(f.splitSecondDelayMs), from,
                                            wire::encodeFrame(second), std::string(), false});
            else
                splitHalves_[key] = wire::encodeFrame(second);
        } else {
            pending_.push_back(Outgoing{due, from, wire::encodeFrame(reply), std::string(), true});
        }
    }
    flushDue(false);
}

}  // namespace orbsim
