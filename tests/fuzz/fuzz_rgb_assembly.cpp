// RGB fragments across a sequence of datagrams: AssembleRgbFragment with its
// state carried from one datagram to the next, against a transcription of
// the fragment walk and reassembly rule of the device protocol; a completed
// frame then goes through the format check of the decoder.
//
// Input: datagrams as length-prefixed runs.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "support/bytes.h"
#include "fuzz_io.h"
#include "imu_rgb/rgb_stream.h"

namespace {

using orbtest::be;
using orbtest::le;

struct RefState {
    std::uint32_t frameId = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> bytes;
};

struct RefFrame {
    orb::RgbFragmentHeader header;
    std::vector<std::uint8_t> bytes;
};

bool reference(const std::uint8_t* d, std::size_t n, RefState& st, RefFrame& out) {
    if (n < 50) return false;
    std::size_t p = 0;
    for (;;) {
        // HEAD
        if (p >= n || n - p < 4) return false;
        if (le(d + p, 4) != 0xA55AAA55u) {
            ++p;
            continue;
        }
        p += 4;
        orb::RgbFragmentHeader h;
        // WORD, LENGTH, four BYTES, TOTAL, INDEX, FRAME, TIME: each checked in turn.
        if (p >= n || n - p < 4) return false;
        h.word = static_cast<std::uint32_t>(be(d + p, 4));
        p += 4;
        if (p >= n || n - p < 4) return false;
        h.length = static_cast<std::uint32_t>(be(d + p, 4));
        p += 4;
        for (int i = 0; i < 4; ++i) {
            if (p >= n) return false;
            h.bytes[i] = d[p++];
        }
        if (p >= n || n - p < 2) return false;
        h.total = static_cast<std::uint16_t>(be(d + p, 2));
        p += 2;
        if (p >= n || n - p < 2) return false;
        h.index = static_cast<std::uint16_t>(be(d + p, 2));
        p += 2;
        if (p >= n || n - p < 4) return false;
        h.frameId = static_cast<std::uint32_t>(be(d + p, 4));
        p += 4;
        if (p >= n || n - p < 10) return false;
        h.seconds = le(d + p, 6);
        h.microseconds = static_cast<std::uint32_t>(le(d + p + 6, 4));
        p += 10;
        if (p >= n || n - p < h.length) return false;  // PAYLOAD
        const std::uint8_t* payload = d + p;
        p += h.length;
        if (p >= n || n - p < 4) return false;  // TAIL
        if (le(d + p, 4) != 0x5AA555AAu) continue;
        p += 4;
        if (h.frameId != st.frameId) {
            st.frameId = h.frameId;
            st.bytes.clear();
            st.count = 0;
        }
        st.bytes.insert(st.bytes.end(), payload, payload + h.length);
        ++st.count;
        if (h.index == h.total && st.count == h.total) {
            out.header = h;
            out.bytes = std::move(st.bytes);
            st.bytes.clear();
            st.count = 0;
            return true;
        }
    }
}

bool sameHeader(const orb::RgbFragmentHeader& a, const orb::RgbFragmentHeader& b) {
    return a.word == b.word && a.length == b.length && std::memcmp(a.bytes, b.bytes, 4) == 0 && a.total == b.total &&
           a.index == b.index && a.frameId == b.frameId && a.seconds == b.seconds &&
           a.microseconds == b.microseconds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orbfuzz::Reader in(data, size);
    orb::RgbAssembly state;
    RefState ref;
    for (int i = 0; i < 4096 && !in.empty(); ++i) {
        std::vector<std::uint8_t> d = in.run();
        orb::RgbFrame got;
        RefFrame want;
        const bool done = orb::AssembleRgbFragment(d.data(), d.size(), state, got);
        FUZZ_CHECK(done == reference(d.data(), d.size(), ref, want));
        FUZZ_CHECK(state.frameId == ref.frameId && state.count == ref.count && state.bytes == ref.bytes);
        if (!done) continue;
        FUZZ_CHECK(sameHeader(got.header, want.header));
        FUZZ_CHECK(got.bytes == want.bytes);
        if (got.header.format() != orb::kRgbFormatJpeg) {  // JPEG decoding is OpenCV's, not ours
            cv::Mat image;
            const orb::RgbDecode r = orb::DecodeRgbFrame(got.header.format(), got.bytes, image);
            FUZZ_CHECK(r != orb::RgbDecode::Image || (image.rows == orb::kRgbHeight && image.cols == orb::kRgbWidth));
        }
    }
    return 0;
}
