// Capture files: the library's recorder (fed by hand, as a receive path
// feeds it) read back through libpcap, its failure modes, and the
// simulator's capture reader on every link layer and on damaged files.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "capture_reader.h"
#include "capture_writer.h"
#include "orb_sdk.h"
#include "record/recorder.h"
#include "replay.h"

namespace {

using orbsim::CaptureReader;
using orbsim::CapturedDatagram;
using orbsim::SkipReason;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "orb_capture_" + std::to_string(::getpid()) + "_" + name;
}

orb::net::Endpoint ep(const char* ip, std::uint16_t port) { return orb::net::makeEndpoint(ip, port); }

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

// Every datagram of a file; whole: it read to its end without damage.
struct FileContents {
    bool whole = false;
    std::vector<Bytes> payloads;
    std::vector<CapturedDatagram> meta;  // addresses and times (data pointers stale)
    orbsim::SkipCounts skipped{};
};
FileContents readAll(const std::string& path) {
    FileContents f;
    CaptureReader r;
    CapturedDatagram d;
    CaptureReader::Result res = r.open(path, nullptr) ? CaptureReader::Result::Datagram : CaptureReader::Result::Error;
    while (res == CaptureReader::Result::Datagram && (res = r.next(d)) == CaptureReader::Result::Datagram) {
        f.payloads.emplace_back(d.data, d.data + d.length);
        f.meta.push_back(d);
    }
    f.whole = res == CaptureReader::Result::End && r.linkType() == orbsim::link::kRawIp;
    f.skipped = r.skipped();
    return f;
}

TEST(Recorder, WritesWhatReceivePathsHandItOrCountsWhatAFullQueueDrops) {
    const std::string path = tempPath("roundtrip.pcap");
    orb::record::Recorder rec;
    ASSERT_EQ(rec.start(path.c_str()), RC_OK);
    EXPECT_EQ(rec.start(path.c_str()), RC_RECORDING_ALREADY_STARTED);
    const auto ns = [](auto t) { return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count(); };
    const auto before = ns(std::chrono::system_clock::now()) / 1000 * 1000;
    // A point-cloud packet, an RGB fragment of the largest UDP size, an empty datagram.
    const std::vector<Bytes> sent = {pattern(1472, 1), pattern(65507, 2), {}};
    rec.capture(ep("10.1.2.3", 6301), ep("10.1.2.1", 6001), sent[0].data(), sent[0].size());
    rec.capture(ep("10.1.2.3", 40000), ep("10.1.2.1", 50661), sent[1].data(), sent[1].size());
    rec.capture(ep("10.1.2.3", 40001), ep("10.1.2.1", 50662), nullptr, 0);
    ASSERT_EQ(rec.stop(), RC_OK);
    const auto after = ns(std::chrono::system_clock::now());
    EXPECT_EQ(rec.stop(), RC_RECORDING_NOT_STARTED);
    EXPECT_EQ(rec.stats().written, 3u);
    FileContents f = readAll(path);
    ASSERT_TRUE(f.whole);
    EXPECT_EQ(f.skipped[static_cast<int>(SkipReason::ZeroLength)], 1u);  // in the file, skipped by the reader
    ASSERT_EQ(f.payloads.size(), 2u);
    EXPECT_EQ(f.payloads[0], sent[0]);
    EXPECT_EQ(f.payloads[1], sent[1]);
    EXPECT_EQ(orb::net::formatIPv4(f.meta[0].srcAddr) + " " + orb::net::formatIPv4(f.meta[0].dstAddr), "10.1.2.3 10.1.2.1");
    EXPECT_EQ(f.meta[0].srcPort, 6301);
    EXPECT_EQ(f.meta[1].dstPort, 50661);
    EXPECT_GE(f.meta[0].timeNs, before);
    EXPECT_LE(f.meta[1].timeNs, after);

    // 4 MB in a burst through a 64 KB queue: the file keeps what fit, whole.
    orb::record::Recorder small(64 * 1024);
    ASSERT_EQ(small.start(path.c_str()), RC_OK);
    constexpr int kCount = 3000;
    for (int i = 0; i < kCount; ++i) small.capture(ep("10.0.0.2", 6301), ep("10.0.0.1", 6001), sent[0].data(), 1400);
    ASSERT_EQ(small.stop(), RC_OK);
    const auto s = small.stats();
    EXPECT_GT(s.dropped, 0u);
    EXPECT_EQ(s.written + s.dropped, static_cast<std::uint64_t>(kCount));
    f = readAll(path);
    ASSERT_TRUE(f.whole);
    EXPECT_EQ(f.payloads.size(), s.written);
    for (const auto& g : f.payloads) ASSERT_EQ(g, Bytes(sent[0].begin(), sent[0].begin() + 1400));
    fs::remove(path);
}

TEST(Recorder, BadPathsAndFullDisksGiveCodesAndNeverAHeaderlessFile) {
    orb::record::Recorder rec;
    EXPECT_EQ(rec.start("/nonexistent-dir/x.pcap"), RC_FILE_OPEN_FAILED);
    EXPECT_EQ(rec.start(::testing::TempDir().c_str()), RC_FILE_OPEN_FAILED);  // a directory
    // Every write fails: the header cannot be written; the device file stays.
    EXPECT_EQ(rec.start("/dev/full"), RC_FILE_WRITE_FAILED);
    EXPECT_TRUE(fs::exists("/dev/full"));
    EXPECT_FALSE(rec.recording());

    // The disk fills up during the recording (a file-size limit stands in
    // for it): stop reports it and the file ends with a whole record.
    const std::string path = tempPath("full.pcap");
    const Bytes payload = pattern(1000, 4);
    constexpr int kEarly = 20;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = 200 * 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    ASSERT_EQ(rec.start(path.c_str()), RC_OK);
    auto send = [&](int n) {
        for (int i = 0; i < n; ++i) rec.capture(ep("10.0.0.2", 6301), ep("10.0.0.1", 6001), payload.data(), payload.size());
    };
    send(kEarly);  // let these reach the disk, then overflow it
    for (int i = 0; i < 400 && fs::file_size(path) < 24 + kEarly * (44 + payload.size()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    send(1000);
    const std::int32_t rc = rec.stop();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(rc, RC_FILE_WRITE_FAILED);
    EXPECT_TRUE(rec.stats().writeFailed);
    const FileContents f = readAll(path);
    ASSERT_TRUE(f.whole);
    EXPECT_GE(f.payloads.size(), static_cast<std::size_t>(kEarly));
    EXPECT_EQ(f.payloads.size(), rec.stats().written);
    EXPECT_EQ(rec.start(path.c_str()), RC_OK);  // a fresh start after the failure
    EXPECT_EQ(rec.stop(), RC_OK);
    fs::remove(path);
}

// One good datagram among one record of each kind the reader must skip.
std::vector<orbsim::CaptureRecord> mixedRecords(int linkType) {
    using namespace orbsim;
    auto udp = [](const Bytes& payload, std::uint16_t fragment = 0, std::uint8_t protocol = kIpProtocolUdp) {
        return ipv4Udp("192.168.1.10", 6301, "192.168.1.100", 6001, payload, fragment, protocol);
    };
    auto rec = [&](const Bytes& packet, std::uint16_t etherType = kEtherTypeIpv4) {
        return CaptureRecord{1700000000123456000, linkFrame(linkType, packet, etherType), 0};
    };
    const Bytes payload = pattern(300, 5);
    std::vector<CaptureRecord> v = {rec(udp(payload)), rec(udp(payload, 0, kIpProtocolTcp)),
                                    rec(udp(payload, kIpMoreFragments)), rec(udp({}))};
    if (linkType != link::kRawIpFile) v.push_back(rec(Bytes(28, 0), kEtherTypeArp));
    v.push_back(rec(udp(payload)));
    v.back().wireLength = v.back().frame.size();
    v.back().frame.resize(v.back().frame.size() - 100);  // a record shorter than its packet
    Bytes lying = udp(payload);
    lying[lying.size() - payload.size() - 4] = 0xFF;  // UDP length beyond the IP packet
    v.push_back(rec(lying));
    return v;
}

TEST(CaptureReader, ReadsEveryLinkLayerAndCountsWhatItSkips) {
    using namespace orbsim;
    for (int lt : {link::kEthernet, link::kLinuxSll, link::kLinuxSll2, link::kRawIpFile, link::kNull}) {
        for (bool ng : {false, true}) {
            SCOPED_TRACE("link type " + std::to_string(lt) + (ng ? " pcapng" : " pcap"));
            const Bytes file = ng ? pcapng(lt, mixedRecords(lt), true) : classicPcap(lt, mixedRecords(lt));
            CaptureReader r;
            std::string err;
            ASSERT_TRUE(r.openMemory(file.data(), file.size(), &err)) << err;
            CapturedDatagram d;
            ASSERT_EQ(r.next(d), CaptureReader::Result::Datagram);
            EXPECT_EQ(Bytes(d.data, d.data + d.length), pattern(300, 5));
            EXPECT_EQ(orb::net::formatIPv4(d.srcAddr), "192.168.1.10");
            EXPECT_EQ(d.dstPort, 6001);
            EXPECT_EQ(d.timeNs, 1700000000123456000);
            EXPECT_EQ(r.next(d), CaptureReader::Result::End) << r.error();
            const auto& s = r.skipped();
            EXPECT_EQ(s[static_cast<int>(SkipReason::NotIpv4)], lt == link::kRawIpFile ? 0u : 1u);
            for (SkipReason why : {SkipReason::NotUdp, SkipReason::Fragment, SkipReason::ZeroLength,
                                   SkipReason::CutShort, SkipReason::Malformed})
                EXPECT_EQ(s[static_cast<int>(why)], 1u) << skipReasonText(why);
        }
    }
}

TEST(CaptureReader, DamagedFilesAndCapturesWithoutCamerasGiveMessagesNotCrashes) {
    using namespace orbsim;
    const Bytes good = classicPcap(link::kEthernet, mixedRecords(link::kEthernet));
    std::string err;
    CaptureReader shortHeader, garbage, cut;
    EXPECT_FALSE(shortHeader.openMemory(good.data(), 10, &err));
    EXPECT_NE(err.find("truncated"), std::string::npos) << err;
    const Bytes junk = pattern(200, 9);
    EXPECT_FALSE(garbage.openMemory(junk.data(), junk.size(), &err));
    EXPECT_FALSE(err.empty());
    // Cut inside the second record: the first datagram, then the damage.
    ASSERT_TRUE(cut.openMemory(good.data(), 24 + 16 + 14 + 328 + 20, &err));
    CapturedDatagram d;
    EXPECT_EQ(cut.next(d), CaptureReader::Result::Datagram);
    EXPECT_EQ(cut.next(d), CaptureReader::Result::Error);
    EXPECT_NE(cut.error().find("record 2"), std::string::npos) << cut.error();

    // Only other hosts' traffic and a fragment: the replay refuses it and says why.
    const std::string path = tempPath("none.pcapng");
    ASSERT_TRUE(writeCaptureFile(path, pcapng(link::kLinuxSll, mixedRecords(link::kLinuxSll))));
    ReplayOptions o;
    o.path = path;
    Replay replay(o);
    EXPECT_FALSE(replay.load(&err));
    EXPECT_NE(err.find("no camera traffic"), std::string::npos) << err;
    EXPECT_NE(err.find("1 IPv4 fragments"), std::string::npos) << err;
    fs::remove(path);
}

}  // namespace
