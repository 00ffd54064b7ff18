// Six-axis IMU packets inside the point-cloud stream: the packet thread hands
// each valid one to the six-axis callback as bytes 6..45 with the timestamp
// divided by 1,000,000, and never lets one into the frame being collected.
//
// Input: datagrams as length-prefixed runs; the magic and the data type of
// each are forced, so every datagram takes the six-axis road.

#include "device/device.h"
#include "fuzz_io.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"

namespace {

orb::DeviceRecord& device() {
    static orb::DeviceRecord dev("127.0.0.2", 6301);
    return dev;
}

int gCalls = 0;
ZelOrb6AxisImuData gLast{};

void onSixAxis(ZelOrb6AxisImuData rec) {
    ++gCalls;
    gLast = rec;
}


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orb::DeviceRecord& dev = device();
    orb::StreamState& st = dev.stream;
    {
        std::lock_guard<std::mutex> lk(st.streamMutex);
        st.sixAxisCallback = onSixAxis;
    }
    st.collecting.reset();
    st.previousPacketNumber = 0;

    orbfuzz::Reader in(data, size);
    for (int i = 0; i < 1024 && !in.empty(); ++i) {
        std::vector<std::uint8_t> d = in.run();
        if (d.size() > orb::kMaxDatagram) d.resize(orb::kMaxDatagram);
        if (d.size() >= 2) {
            d[0] = 0x5A;
            d[1] = 0xA5;
        }
        if (d.size() >= 4) d[3] = orb::kTypeSixAxis;

        const int before = gCalls;
        const std::uint64_t delivered = st.stats.sixAxisDelivered.load();
        orb::handlePacket(dev.stream, d.data(), d.size());
        const bool valid = d.size() >= orb::kSixAxisPacketSize && (d[8] == 1 || d[8] == 2);
        FUZZ_CHECK((gCalls == before + 1) == valid);
        FUZZ_CHECK(st.stats.sixAxisDelivered.load() == delivered + (valid ? 1 : 0));
        FUZZ_CHECK(!st.collecting || st.collecting->packets.empty());
        if (valid) {
            std::uint8_t expected[40];
            std::memcpy(expected, d.data() + 6, sizeof expected);
            const std::uint64_t ts = orbtest::le(d.data() + 12, 8) / 1000000u;
            std::memcpy(expected + 6, &ts, sizeof ts);
            FUZZ_CHECK(std::memcmp(&gLast, expected, sizeof expected) == 0);
        }
    }
    return 0;
}
