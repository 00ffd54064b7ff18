// Writes seed inputs for every fuzz target, framed as the targets read them
// (fuzz_io.h), with the bytes made by the simulator's encoders.
//   orb_fuzz_seeds OUTDIR   ->  OUTDIR/<target>/seed_NNN
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "announcer.h"
#include "capture_writer.h"
#include "control_server.h"
#include "fuzz_io.h"
#include "imu_sender.h"
#include "pointcloud_streamer.h"
#include "rgb_sender.h"
#include "scene.h"
#include "settings_store.h"
#include "wire_sim.h"

namespace fs = std::filesystem;
using orbfuzz::Writer;
using Bytes = std::vector<std::uint8_t>;

namespace {

fs::path gOut;

void save(const std::string& target, const Writer& w) {
    static int counter = 0;
    const fs::path dir = gOut / target;
    fs::create_directories(dir);
    char name[32];
    std::snprintf(name, sizeof name, "seed_%03d", counter++);
    std::ofstream f(dir / name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(w.data().data()), static_cast<std::streamsize>(w.data().size()));
}

Bytes le32(std::uint32_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                      static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)}; }

// --- point cloud --------------------------------------------------------------

void dataPackets() {
    const orbsim::ScenePtr scene = orbsim::withSecondEcho(orbsim::makeBoxScene(600, orbsim::BoxSpec{}), 40);
    orbsim::SceneFrame render;
    struct Combo {
        std::uint8_t type, format, mode;
    } combos[] = {{1, 4, 3}, {1, 8, 3}, {1, 10, 3}, {1, 22, 3}, {12, 10, 4}, {13, 10, 5}, {14, 10, 8}, {13, 10, 7}};
    std::uint8_t six[26];
    for (int i = 0; i < 26; ++i) six[i] = static_cast<std::uint8_t>(i * 7);
    int modeIndex[9] = {0, 0, 0, 0, 1, 2, 3, 4, 5};
    for (const Combo& c : combos) {
        for (int variant = 0; variant < 2; ++variant) {
            Writer w;
            // configuration: mode, inversion (variant 1), distance window on
            w.u8(static_cast<std::uint8_t>(modeIndex[c.mode] | (variant ? 0x08 : 0) | 0x10 | 0x20));
            w.u16(0).u16(60000);
            for (std::uint64_t frame = 0; frame < 2; ++frame) {
                scene->render(frame, render);
                const orbsim::EncodedFrame enc = orbsim::encodeFrame(render, c.type, c.format, frame, 1000 + frame);
                const std::size_t keep = frame == 0 ? 6 : 2;  // enough to cross a frame boundary
                for (std::size_t i = 0; i < enc.packets.size() && i < keep; ++i) w.run(enc.packets[i]);
                if (frame == 0) w.run(orbsim::encodeSixAxis(1, 123456789012ull, six));
            }
            save("fuzz_data_packet", w);
        }
    }
}

void sixAxis() {
    std::uint8_t six[26];
    for (int i = 0; i < 26; ++i) six[i] = static_cast<std::uint8_t>(255 - i);
    for (std::uint8_t check : {1, 2, 3}) {
        Writer w;
        w.run(orbsim::encodeSixAxis(check, 987654321000ull * check, six));
        Bytes shortOne = orbsim::encodeSixAxis(check, 5, six);
        shortOne.pop_back();
        w.run(shortOne);
        save("fuzz_six_axis", w);
    }
}

// --- nine-axis IMU, RGB -----------------------------------------------------------

void imu() {
    for (std::uint64_t i = 0; i < 3; ++i) {
        Writer a;
        a.bytes(orbsim::encodeImuFrame(orbsim::imuSampleFor(i)));
        save("fuzz_imu_packet", a);
        Bytes bad = orbsim::encodeImuFrame(orbsim::imuSampleFor(i + 10));
        bad.back() ^= 0xFF;  // wrong tail, then a good frame
        Writer b;
        b.bytes({1, 2, 3}).bytes(bad).bytes(orbsim::encodeImuFrame(orbsim::imuSampleFor(i + 20)));
        save("fuzz_imu_packet", b);
    }
}

void rgb() {
    Bytes frame(700);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 13);
    orbsim::RgbFaults faults[6];
    faults[1].pairs = true;
    faults[2].garbageBeforeHead = 9;
    faults[3].wrongTailFragment = 2;
    faults[4].reorder = true;
    faults[5].changeIdFrom = 3;
    std::uint32_t id = 7;
    for (const auto& f : faults) {
        for (std::uint8_t format : {orbsim::kRgbJpeg, orbsim::kRgbNv12, std::uint8_t{5}}) {
            Writer w;
            for (const Bytes& d : orbsim::fragmentFrame(frame, format, id, 1700000000ull + id, 250 * id, 160, f))
                w.run(d);
            for (const Bytes& d : orbsim::fragmentFrame(frame, format, id + 1, 1, 2, 400)) w.run(d);
            save("fuzz_rgb_assembly", w);
            ++id;
        }
    }
}

// --- command channel ----------------------------------------------------------

Bytes frameFor(std::uint16_t command, const Bytes& payload, std::uint8_t status = 0, std::uint16_t count = 1,
               std::uint8_t type = orbsim::wire::kFrameTypeCommand) {
    orbsim::wire::CommandFrame f;
    f.type = type;
    f.status = status;
    f.command = command;
    f.count = count;
    f.payload = payload;
    return orbsim::wire::encodeFrame(f);
}

void commandChains() {
    orbsim::SettingsStore store("127.0.0.2");
    for (std::uint16_t command : {orbsim::cmd::kGetSerialNumber, orbsim::cmd::kGetRgbIntrinsics,
                                  orbsim::cmd::kGetLidarExposureTime, orbsim::cmd::kHandshake}) {
        Writer one;
        one.u16(command).bytes(frameFor(command, store.payload(command)));
        save("fuzz_command_chain", one);
        Writer two;  // a chain of two frames
        two.u16(command).bytes(frameFor(command, store.payload(command), 0, 2)).bytes(frameFor(command, {}, 0, 2));
        save("fuzz_command_chain", two);
    }
    Writer disc;
    disc.u16(orbsim::cmd::kDiscovery).bytes(frameFor(orbsim::cmd::kDiscovery, {}, 1, 1, orbsim::wire::kFrameTypeDiscovery));
    save("fuzz_command_chain", disc);
}

// Getter selector of fuzz_config_getters -> the commands it sends in turn.
struct GetterSeed {
    std::uint8_t which;
    std::uint8_t arg;
    std::vector<std::uint16_t> commands;
};

void configGetters() {
    namespace c = orbsim::cmd;
    orbsim::SettingsStore store("127.0.0.2");
    store.setPayload(c::kGetSerialNumber, {'S', 'N', '1', '2', '3'});
    const GetterSeed seeds[] = {
        {0, 0, {c::kGetTriggerMode}},           {1, 0, {c::kGetLidarExposureMode}},
        {1, 1, {c::kGetRgbExposureMode}},       {2, 4, {c::kGetLidarExposureTime}},
        {2, 5, {c::kGetRgbExposureTime}},       {3, 0, {c::kGetHardTriggerFilter}},
        {4, 0, {c::kGetRgbGain}},               {5, 0, {c::kGetRgbExposureRange}},
        {6, 0, {c::kGetRgbGainRange}},          {7, 0, {c::kGetDistanceMeasure}},
        {8, 0, {c::kGetCalibrationOffset}},     {9, 0, {c::kGetDistanceOffset}},
        {10, 20, {c::kGetSerialNumber}},        {11, 30, {c::kGetDeviceType}},
        {12, 5, {c::kGetSoftwareVersion}},      {13, 1, {c::kGetRgbIntrinsics}},
        {14, 0, {c::kGetLidarToRgbExtrinsics}}, {15, 0, {c::kGetLidarToImuExtrinsics}},
        {16, 0, {c::kGetInverted, c::kGetRgbEnabled, c::kGetRgbRotation}},
        {17, 0, {c::kGetDistanceOffset, c::kGetCalibrationOffset}},
        {18, 0, {c::kGetRgbIntrinsics, c::kGetLidarToRgbExtrinsics}},
    };
    for (const GetterSeed& s : seeds) {
        // The store's reply as the simulator encodes it, one datagram per request.
        Writer raw;
        raw.u8(s.which).u8(s.arg).u8(0);
        for (std::uint16_t command : s.commands) raw.u8(1).u8(0).run(frameFor(command, store.payload(command)));
        save("fuzz_config_getters", raw);
        // The same payloads wrapped by the target, after a stray datagram and a lost attempt.
        Writer wrapped;
        wrapped.u8(s.which).u8(s.arg).u8(0).u8(0);
        for (std::uint16_t command : s.commands) {
            wrapped.u8(2).u8(3).run(frameFor(command, store.payload(command))).u8(2).run(store.payload(command));
        }
        save("fuzz_config_getters", wrapped);
        // A chain split over two datagrams.
        Writer split;
        split.u8(s.which).u8(s.arg).u8(0);
        for (std::uint16_t command : s.commands) {
            split.u8(1).u8(0).run(frameFor(command, store.payload(command), 0, 2));
            split.u8(1).u8(0).run(frameFor(command, {}, 0, 2));
        }
        save("fuzz_config_getters", split);
    }
}

// --- control server, announcements, discovery ------------------------------------

void controlServer() {
    namespace cs = orbsim::cs;
    orbsim::NetSettings net;
    net.lidarIp = "192.168.1.10";
    net.hostIp = "192.168.1.2";
    cs::Frame confirm;
    confirm.flag = 0;
    confirm.byte13 = 1;
    confirm.command = cs::kMode;
    confirm.payload = {0, 0, 0, 0};
    const Bytes replies[] = {cs::encodeReply(cs::kGetNetSettings, cs::kResultOk, cs::encodeNetSettings(net)),
                             cs::encodeReply(cs::kSetNetSettings, cs::kResultOk), cs::encode(confirm),
                             cs::encode(confirm), cs::encodeReply(cs::kMode, cs::kResultError)};
    for (std::uint8_t op = 0; op < 5; ++op) {
        for (int negotiation = 0; negotiation < 2; ++negotiation) {
            Writer w;
            w.u8(op).u8(negotiation ? 2 : 0);
            if (negotiation == 0) {
                w.u8(0).run(cs::encodeReply(cs::kGetReceiveSize, cs::kResultOk, le32(8192)));
            } else {
                w.u8(7).run(cs::encodeReply(cs::kGetReceiveSize, cs::kResultOk, le32(1024)));
                w.u8(0).run(cs::encodeReply(cs::kSetReceiveSize, cs::kResultOk));
            }
            w.u8(negotiation ? 5 : 0).run(replies[op]);
            save("fuzz_control_server", w);
        }
    }
}

void announcements() {
    orbsim::NetSettings a;
    a.lidarIp = "192.168.1.10";
    a.hostIp = "192.168.1.2";
    orbsim::NetSettings b = a;
    b.lidarIp = "10.0.0.7";
    b.lidarPort = 7000;
    Writer w;
    w.run(orbsim::Announcer::encode(a)).run(orbsim::Announcer::encode(b)).run(orbsim::Announcer::encode(a));
    save("fuzz_announcement", w);
    Writer one;
    one.run(orbsim::Announcer::encode(b));
    save("fuzz_announcement", one);
}

void discovery() {
    const Bytes reply = frameFor(orbsim::cmd::kDiscovery, {}, orbsim::status::kDiscoveryReply, 1,
                                 orbsim::wire::kFrameTypeDiscovery);
    for (std::uint8_t hosts = 0; hosts < 3; ++hosts) {
        Writer w;
        w.u8(hosts).u8(3);
        for (std::uint8_t i = 0; i < 5; ++i) w.u8(i).u8(i % 3).run(reply);
        w.u8(1).u8(0).run(frameFor(orbsim::cmd::kDiscovery, {}, 0, 1, orbsim::wire::kFrameTypeDiscovery));
        save("fuzz_discovery", w);
    }
}

// Point-cloud packets and an IMU frame on each link layer, as pcap and pcapng.
void captures() {
    using namespace orbsim;
    orbsim::SceneFrame render;
    orbsim::makeBoxScene(600, orbsim::BoxSpec{})->render(0, render);
    const EncodedFrame enc = encodeFrame(render, 1, 10, 0, 1000);
    for (int lt : {link::kEthernet, link::kLinuxSll, link::kLinuxSll2, link::kRawIpFile, link::kNull}) {
        std::vector<CaptureRecord> recs;
        for (std::size_t p = 0; p < 3; ++p)
            recs.push_back({1000000 * static_cast<std::int64_t>(p),
                            linkFrame(lt, ipv4Udp("10.0.0.2", 6301, "10.0.0.1", 6001, enc.packets[p])), 0});
        recs.push_back({5000000, linkFrame(lt, ipv4Udp("10.0.0.2", 40000, "10.0.0.1", 50662,
                                                       encodeImuFrame(imuSampleFor(1)), kIpMoreFragments)), 0});
        for (bool ng : {false, true}) {
            Writer w;
            w.bytes(ng ? pcapng(lt, recs, true) : classicPcap(lt, recs));
            save("fuzz_capture_reader", w);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    gOut = argv[1];
    dataPackets();
    sixAxis();
    imu();
    rgb();
    commandChains();
    configGetters();
    controlServer();
    announcements();
    discovery();
    captures();
    return 0;
}
