// Capture files for the replay: libpcap's pcap/pcapng parsing under the
// simulator's link, IPv4 and UDP decoding. Any input either fails to open,
// ends, or reports damage; every datagram lies inside its record.
#include <cstdint>

#include "capture_reader.h"
#include "fuzz_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using orbsim::CaptureReader;
    orbsim::CapturedDatagram d;
    volatile std::uint8_t sink = 0;
    CaptureReader r;
    if (r.openMemory(data, size, nullptr)) {
        for (int i = 0; i < 100000 && r.next(d) == CaptureReader::Result::Datagram; ++i) {
            FUZZ_CHECK(d.data != nullptr && d.length > 0);
            for (std::size_t k = 0; k < d.length; ++k) sink = static_cast<std::uint8_t>(sink + d.data[k]);
        }
    }
    // The frame decoder alone, on the input as one frame of each link type.
    for (int lt : {orbsim::link::kNull, orbsim::link::kEthernet, orbsim::link::kRawIp, orbsim::link::kLoop,
                   orbsim::link::kLinuxSll, orbsim::link::kIpv4, orbsim::link::kLinuxSll2}) {
        if (orbsim::decodeCapturedFrame(lt, data, size, d) != orbsim::SkipReason::None) continue;
        FUZZ_CHECK(d.data >= data && d.length > 0 && d.data + d.length <= data + size);
    }
    return 0;
}
