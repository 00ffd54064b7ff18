// Nine-axis IMU datagrams: parseImuPacket against a transcription of the
// frame walk the device protocol defines (head, four skipped bytes, time,
// nine values, tail; a wrong tail resumes the search at the tail's place).

#include "fuzz_io.h"
#include "imu_rgb/imu_stream.h"

namespace {

using orbtest::le;

bool reference(const std::uint8_t* d, std::size_t n, ZelOrb9AxisImuData& out) {
    if (n < 58) return false;
    for (std::size_t p = 0; n - p >= 4;) {
        if (le(d + p, 4) != 0xA55AAA55u) {
            ++p;
            continue;
        }
        p += 4;
        if (n - p < 54) return false;  // a skipped word, the time, nine values, the tail
        if (le(d + p + 50, 4) != 0x5AA555AAu) {
            p += 50;  // the search resumes at the wrong tail
            continue;
        }
        out.seconds = le(d + p + 4, 6);
        out.microseconds = static_cast<std::uint32_t>(le(d + p + 10, 4));
        for (int i = 0; i < 9; ++i) {
            const auto host = static_cast<std::uint32_t>(orbtest::be(d + p + 14 + 4 * i, 4));
            std::memcpy(&out.axis[i], &host, 4);
        }
        return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZelOrb9AxisImuData got;
    ZelOrb9AxisImuData want;
    std::memset(&got, 0xA7, sizeof got);
    std::memset(&want, 0xA7, sizeof want);
    const bool ok = orb::parseImuPacket(data, size, got);
    FUZZ_CHECK(ok == reference(data, size, want));
    // Untouched on failure; the values themselves on success.
    FUZZ_CHECK(std::memcmp(&got, &want, sizeof got) == 0);
    return 0;
}
