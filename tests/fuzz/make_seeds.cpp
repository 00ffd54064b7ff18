// Writes seed inputs for every fuzz target, framed as the targets read them
// (fuzz_io.h), with the bytes made by the simulator's encoders.
//   orb_fuzz_seeds OUTDIR   ->  OUTDIR/<target>/seed_NNN
#include <filesystem>
#include <fstream>

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

namespace {

using orbfuzz::Writer;
using orbtest::Bytes;
namespace c = orbsim::cmd;
std::filesystem::path gOut;

void save(const std::string& target, const Writer& w) {
    static int counter = 0;
    std::filesystem::create_directories(gOut / target);
    std::ofstream f(gOut / target / ("seed_" + std::to_string(counter++)), std::ios::binary);
    f.write(reinterpret_cast<const char*>(w.data().data()), static_cast<std::streamsize>(w.data().size()));
}

Bytes frameFor(std::uint16_t command, const Bytes& payload, std::uint8_t status = 0, std::uint16_t count = 1,
               std::uint8_t type = orbsim::wire::kFrameTypeCommand) {
    return orbsim::wire::encodeFrame(orbsim::wire::CommandFrame{type, status, command, count, 1, payload});
}

// Point cloud: every type, format and mode (plain and inverted, window on), two
// frames crossing a boundary, a six-axis packet between them.
void pointCloud() {
    const orbsim::ScenePtr scene = orbsim::withSecondEcho(orbsim::makeBoxScene(600, orbsim::BoxSpec{}), 40);
    orbsim::SceneFrame render;
    const std::uint8_t combos[][3] = {{1, 4, 0},   {1, 8, 0},   {1, 10, 0},  {1, 22, 0},
                                      {12, 10, 1}, {13, 10, 2}, {14, 10, 5}, {13, 10, 4}};
    std::uint8_t six[26];
    for (int i = 0; i < 26; ++i) six[i] = static_cast<std::uint8_t>(i * 7);
    for (const auto& [type, format, modeIndex] : combos)
        for (int inverted = 0; inverted < 2; ++inverted) {
            Writer w;
            w.u8(static_cast<std::uint8_t>(modeIndex | (inverted ? 0x08 : 0) | 0x30)).u16(0).u16(60000);
            for (std::uint64_t frame = 0; frame < 2; ++frame) {
                scene->render(frame, render);
                const orbsim::EncodedFrame enc = orbsim::encodeFrame(render, type, format, frame, 1000 + frame);
                for (std::size_t i = 0; i < std::min<std::size_t>(enc.packets.size(), frame ? 2 : 6); ++i)
                    w.run(enc.packets[i]);
                if (frame == 0) w.run(orbsim::encodeSixAxis(1, 123456789012ull, six));
            }
            save("fuzz_data_packet", w);
        }
    for (std::uint8_t check : {1, 2, 3}) {
        Bytes cut = orbsim::encodeSixAxis(check, 5, six);
        cut.pop_back();
        save("fuzz_six_axis", Writer().run(orbsim::encodeSixAxis(check, 987654321000ull * check, six)).run(cut));
    }
}

// Nine-axis IMU frames, alone and after garbage and a wrongly closed frame;
// RGB frames of each format under each fragment fault.
void imuAndRgb() {
    for (std::uint64_t i = 0; i < 3; ++i) {
        Bytes bad = orbsim::encodeImuFrame(orbsim::imuSampleFor(i + 10));
        bad.back() ^= 0xFF;
        save("fuzz_imu_packet", Writer().bytes(orbsim::encodeImuFrame(orbsim::imuSampleFor(i))));
        const Bytes good = orbsim::encodeImuFrame(orbsim::imuSampleFor(i + 20));
        save("fuzz_imu_packet", Writer().bytes({1, 2, 3}).bytes(bad).bytes(good));
    }
    Bytes frame(700);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 13);
    std::vector<orbsim::RgbFaults> faults(6);
    faults[1].pairs = true, faults[2].garbageBeforeHead = 9, faults[3].wrongTailFragment = 2;
    faults[4].reorder = true, faults[5].changeIdFrom = 3;
    std::uint32_t id = 7;
    for (const auto& f : faults)
        for (std::uint8_t format : {orbsim::kRgbJpeg, orbsim::kRgbNv12, std::uint8_t{5}}) {
            Writer w;
            for (const Bytes& d : orbsim::fragmentFrame(frame, format, id, 1700000000ull + id, 250 * id, 160, f))
                w.run(d);
            for (const Bytes& d : orbsim::fragmentFrame(frame, format, ++id, 1, 2, 400)) w.run(d);
            save("fuzz_rgb_assembly", w);
        }
}

// Command replies as the store answers them, whole, chained over two frames,
// and wrapped by the target after a stray datagram and a lost attempt.
void commandChannel() {
    orbsim::SettingsStore store("127.0.0.2");
    for (std::uint16_t command : {c::kGetSerialNumber, c::kGetRgbIntrinsics, c::kGetLidarExposureTime, c::kHandshake}) {
        save("fuzz_command_chain", Writer().u16(command).bytes(frameFor(command, store.payload(command))));
        save("fuzz_command_chain", Writer().u16(command).bytes(frameFor(command, store.payload(command), 0, 2))
                                       .bytes(frameFor(command, {}, 0, 2)));
    }
    const Bytes discovery = frameFor(c::kDiscovery, {}, 1, 1, orbsim::wire::kFrameTypeDiscovery);
    save("fuzz_command_chain", Writer().u16(c::kDiscovery).bytes(discovery));
    // Getter selector of fuzz_config_getters -> the commands it sends in turn.
    const std::vector<std::uint16_t> getters[] = {
        {c::kGetTriggerMode}, {c::kGetLidarExposureMode}, {c::kGetLidarExposureTime}, {c::kGetHardTriggerFilter},
        {c::kGetRgbGain}, {c::kGetRgbExposureRange}, {c::kGetRgbGainRange}, {c::kGetDistanceMeasure},
        {c::kGetCalibrationOffset}, {c::kGetDistanceOffset}, {c::kGetSerialNumber}, {c::kGetDeviceType},
        {c::kGetSoftwareVersion}, {c::kGetRgbIntrinsics}, {c::kGetLidarToRgbExtrinsics}, {c::kGetLidarToImuExtrinsics},
        {c::kGetInverted, c::kGetRgbEnabled, c::kGetRgbRotation}, {c::kGetDistanceOffset, c::kGetCalibrationOffset},
        {c::kGetRgbIntrinsics, c::kGetLidarToRgbExtrinsics}};
    for (std::uint8_t which = 0; which < std::size(getters); ++which) {
        Writer raw, wrapped, split;
        raw.u8(which).u8(which * 3).u8(0);
        wrapped.u8(which).u8(which * 5 + 1).u8(0);
        split.u8(which).u8(which * 7).u8(0);
        for (std::uint16_t command : getters[which]) {
            const Bytes payload = store.payload(command);
            raw.u8(1).u8(0).run(frameFor(command, payload));
            wrapped.u8(0).u8(2).u8(3).run(frameFor(command, payload)).u8(2).run(payload);
            split.u8(1).u8(0).run(frameFor(command, payload, 0, 2)).u8(1).u8(0).run(frameFor(command, {}, 0, 2));
        }
        save("fuzz_config_getters", raw);
        save("fuzz_config_getters", wrapped);
        save("fuzz_config_getters", split);
    }
}

// Control server replies for each operation, with and without the receive-size
// negotiation; announcements; discovery replies to each host address.
void controlAndDiscovery() {
    namespace cs = orbsim::cs;
    orbsim::NetSettings net;
    net.lidarIp = "192.168.1.10", net.hostIp = "192.168.1.2";
    const Bytes confirm = cs::encode(cs::Frame{0, 1, cs::kMode, {0, 0, 0, 0}});
    const Bytes replies[] = {cs::encodeReply(cs::kGetNetSettings, cs::kResultOk, cs::encodeNetSettings(net)),
                             cs::encodeReply(cs::kSetNetSettings, cs::kResultOk), confirm, confirm,
                             cs::encodeReply(cs::kMode, cs::kResultError)};
    const Bytes size8k = cs::encodeReply(cs::kGetReceiveSize, cs::kResultOk, {0, 0x20, 0, 0});
    const Bytes size1k = cs::encodeReply(cs::kGetReceiveSize, cs::kResultOk, {0, 4, 0, 0});
    const Bytes sizeSet = cs::encodeReply(cs::kSetReceiveSize, cs::kResultOk);
    for (std::uint8_t op = 0; op < 5; ++op) {
        save("fuzz_control_server", Writer().u8(op).u8(0).u8(0).run(size8k).u8(0).run(replies[op]));
        save("fuzz_control_server", Writer().u8(op).u8(2).u8(7).run(size1k).u8(0).run(sizeSet).u8(5).run(replies[op]));
    }
    orbsim::NetSettings other = net;
    other.lidarIp = "10.0.0.7", other.lidarPort = 7000;
    const Bytes a = orbsim::Announcer::encode(net), b = orbsim::Announcer::encode(other);
    save("fuzz_announcement", Writer().run(a).run(b).run(a));
    save("fuzz_announcement", Writer().run(b));
    const std::uint8_t type = orbsim::wire::kFrameTypeDiscovery;
    const Bytes reply = frameFor(c::kDiscovery, {}, orbsim::status::kDiscoveryReply, 1, type);
    for (std::uint8_t hosts = 0; hosts < 3; ++hosts) {
        Writer w;
        w.u8(hosts).u8(3);
        for (std::uint8_t i = 0; i < 5; ++i) w.u8(i).u8(i % 3).run(reply);
        save("fuzz_discovery", w.u8(1).u8(0).run(frameFor(c::kDiscovery, {}, 0, 1, type)));
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
    pointCloud();
    imuAndRgb();
    commandChannel();
    controlAndDiscovery();
    captures();
    return 0;
}
