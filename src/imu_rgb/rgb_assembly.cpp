#include "imu_rgb/rgb_assembly.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "imu_rgb/stream_magic.h"

namespace orb {

bool assembleRgbFragment(const std::uint8_t* data, std::size_t n, RgbAssembly& st, RgbFrame& out) {
    if (!data || n < kRgbMinDatagram) return false;
    constexpr std::size_t kHeaderAfterHead = 30;  // word, length, 4 bytes, total, index, id, time
    for (std::size_t p = afterStreamHead(data, n, 0); p != kNoStreamHead; p = afterStreamHead(data, n, p)) {
        if (n - p < kHeaderAfterHead) return false;
        const std::uint8_t* h = data + p;
        RgbFragmentHeader hdr;
        hdr.word = bytes::readBe32(h);
        hdr.length = bytes::readBe32(h + 4);
        std::memcpy(hdr.bytes, h + 8, 4);
        hdr.total = bytes::readBe16(h + 12);
        hdr.index = bytes::readBe16(h + 14);
        hdr.frameId = bytes::readBe32(h + 16);
        hdr.seconds = bytes::readLe48(h + 20);
        hdr.microseconds = bytes::readLe32(h + 26);
        p += kHeaderAfterHead;
        if (p >= n || n - p < hdr.length) return false;
        const std::uint8_t* payload = data + p;
        p += hdr.length;
        if (n - p < 4) return false;
        if (bytes::readLe32(data + p) != kStreamTailMagic) continue;  // rescan from the bad tail
        p += 4;

        if (hdr.frameId != st.frameId) {
            if (st.count > 0) ++st.abandoned;
            st.frameId = hdr.frameId;
            st.bytes.clear();
            st.count = 0;
            st.overflowed = false;
        }
        if (st.overflowed) continue;
        if (hdr.length > kMaxRgbFrameBytes - st.bytes.size()) {
            st.bytes = std::vector<std::uint8_t>();  // give the memory back
            st.count = 0;
            st.overflowed = true;
            ++st.abandoned;
            continue;
        }
        if (st.count == 0 && hdr.total > 0)
            st.bytes.reserve(std::min<std::size_t>(std::size_t{hdr.total} * hdr.length, kMaxRgbFrameBytes));
        st.bytes.insert(st.bytes.end(), payload, payload + hdr.length);
        ++st.count;
        if (hdr.index == hdr.total && st.count == hdr.total) {
            out.header = hdr;
            out.bytes = std::move(st.bytes);
            st.bytes = std::vector<std::uint8_t>();
            st.count = 0;
            return true;
        }
    }
    return false;
}

}  // namespace orb
