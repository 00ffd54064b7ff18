// Nine-axis IMU datagrams: ParseImuPacket against a transcription of the
// frame walk the device protocol defines (head, four skipped bytes, time,
// nine values, tail; a wrong tail resumes the search at the tail's place).
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "support/bytes.h"
#include "imu_rgb/imu_stream.h"

namespace {

using orbtest::le;

bool reference(const std::uint8_t* d, std::size_t n, ZelOrb9AxisImuData& out) {
    if (n < 58) return false;
    enum { Head, Skip, Time, Data, Tail } state = Head;
    std::size_t p = 0;
    std::uint64_t seconds = 0;
    std::uint32_t micros = 0;
    const std::uint8_t* values = nullptr;
    for (;;) {
        if (p >= n) return false;
        const std::size_t left = n - p;
        switch (state) {
        case Head:
            if (left < 4) return false;
            if (le(d + p, 4) == 0xA55AAA55u) {
                p += 4;
                state = Skip;
            } else {
                p += 1;
            }
            break;
        case Skip:
            if (left < 4) return false;
            p += 4;
            state = Time;
            break;
        case Time:
            if (left < 10) return false;
            seconds = le(d + p, 6);
            micros = static_cast<std::uint32_t>(le(d + p + 6, 4));
            p += 10;
            state = Data;
            break;
        case Data:
            if (left < 36) return false;
            values = d + p;
            p += 36;
            state = Tail;
            break;
        case Tail:
            if (left < 4) return false;
            if (le(d + p, 4) != 0x5AA555AAu) {
                state = Head;
                break;
            }
            out.seconds = seconds;
            out.microseconds = micros;
            for (int i = 0; i < 9; ++i) {
                const auto host = static_cast<std::uint32_t>(orbtest::be(values + 4 * i, 4));
                std::memcpy(&out.axis[i], &host, 4);
            }
            return true;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZelOrb9AxisImuData got;
    ZelOrb9AxisImuData want;
    std::memset(&got, 0xA7, sizeof got);
    std::memset(&want, 0xA7, sizeof want);
    const bool ok = orb::ParseImuPacket(data, size, got);
    FUZZ_CHECK(ok == reference(data, size, want));
    // Untouched on failure; the values themselves on success.
    FUZZ_CHECK(std::memcmp(&got, &want, sizeof got) == 0);
    return 0;
}
