// RGB fragments across a sequence of datagrams: assembleRgbFragment with its
// state carried from one datagram to the next, against a transcription of
// the fragment walk and reassembly rule of the device protocol; a completed
// frame then goes through the format check of the decoder.
//
// Input: datagrams as length-prefixed runs.

#include "fuzz_io.h"
#include "imu_rgb/rgb_stream.h"

namespace {

using orbtest::be;
using orbtest::le;

// The reference keeps its own state and frame in the library's plain records.
bool reference(const std::uint8_t* d, std::size_t n, orb::RgbAssembly& st, orb::RgbFrame& out) {
    if (n < 50) return false;
    for (std::size_t p = 0; n - p >= 4;) {
        if (le(d + p, 4) != 0xA55AAA55u) {
            ++p;
            continue;
        }
        p += 4;
        if (n - p < 30) return false;  // word, length, four bytes, total, index, frame id, time
        orb::RgbFragmentHeader h;
        h.word = static_cast<std::uint32_t>(be(d + p, 4));
        h.length = static_cast<std::uint32_t>(be(d + p + 4, 4));
        std::memcpy(h.bytes, d + p + 8, 4);
        h.total = static_cast<std::uint16_t>(be(d + p + 12, 2));
        h.index = static_cast<std::uint16_t>(be(d + p + 14, 2));
        h.frameId = static_cast<std::uint32_t>(be(d + p + 16, 4));
        h.seconds = le(d + p + 20, 6);
        h.microseconds = static_cast<std::uint32_t>(le(d + p + 26, 4));
        p += 30;
        if (p >= n || n - p < h.length) return false;  // the payload
        const std::uint8_t* payload = d + p;
        p += h.length;
        if (n - p < 4) return false;
        if (le(d + p, 4) != 0x5AA555AAu) continue;  // a wrong tail: the search resumes there
        p += 4;
        if (h.frameId != st.frameId) {
            st.frameId = h.frameId;
            st.bytes.clear();
            st.count = 0;
        }
        st.bytes.insert(st.bytes.end(), payload, payload + h.length);
        if (++st.count == h.total && h.index == h.total) {
            out.header = h;
            out.bytes = std::move(st.bytes);
            st.bytes.clear();
            st.count = 0;
            return true;
        }
    }
    return false;
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
    orb::RgbAssembly ref;
    for (int i = 0; i < 4096 && !in.empty(); ++i) {
        std::vector<std::uint8_t> d = in.run();
        orb::RgbFrame got;
        orb::RgbFrame want;
        const bool done = orb::assembleRgbFragment(d.data(), d.size(), state, got);
        FUZZ_CHECK(done == reference(d.data(), d.size(), ref, want));
        FUZZ_CHECK(state.frameId == ref.frameId && state.count == ref.count && state.bytes == ref.bytes);
        if (!done) continue;
        FUZZ_CHECK(sameHeader(got.header, want.header));
        FUZZ_CHECK(got.bytes == want.bytes);
        if (got.header.format() != orb::kRgbFormatJpeg) {  // JPEG decoding is OpenCV's, not ours
            cv::Mat image;
            const orb::RgbDecode r = orb::decodeRgbFrame(got.header.format(), got.bytes, image);
            FUZZ_CHECK(r != orb::RgbDecode::Image || (image.rows == orb::kRgbHeight && image.cols == orb::kRgbWidth));
        }
    }
    return 0;
}
