// Reply chains of the command channel as pure functions: chain validation,
// the reply buffer's first-frame payload, and the discovery reply check.
//
// Input: the expected command code (2 bytes), then the accumulated reply.

#include "control/command.h"
#include "control/discovery.h"
#include "fuzz_io.h"

using orbtest::be;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orbfuzz::Reader in(data, size);
    const std::uint16_t command = in.u16();
    const std::vector<std::uint8_t> reply = in.rest();
    const std::uint8_t* d = reply.data();
    const std::size_t n = reply.size();

    const bool valid = orb::validateReplyChain(d, n, command);
    if (valid) {
        // A valid chain has at least one whole frame of the expected command.
        FUZZ_CHECK(n >= orb::kCommandFrameOverhead);
        FUZZ_CHECK(d[0] == 0xA5 && d[1] == 0x5A && d[2] == 0xAA && d[3] == 0x55);
        FUZZ_CHECK(be(d + 6, 2) == command && be(d + 8, 2) != 0);
        const std::size_t first = be(d + 12, 2);
        FUZZ_CHECK(first + orb::kCommandFrameOverhead <= n);
        FUZZ_CHECK(std::memcmp(d + 14 + first, "\x5A\xA5\x55\xAA", 4) == 0);
    }

    // The reply buffer gives the first frame's payload only when it is whole.
    orb::ReplyBuffer buf;
    buf.append(d, n);
    FUZZ_CHECK(buf.length() == n);
    const std::size_t payload = buf.payloadLength();
    FUZZ_CHECK(payload == 0 || payload + orb::kCommandFrameOverhead <= n);
    if (valid) FUZZ_CHECK(payload == be(d + 12, 2));
    if (payload) FUZZ_CHECK(std::memcmp(buf.payload(), d + 14, payload) == 0);
    buf.reset();
    FUZZ_CHECK(buf.length() == 0 && buf.payloadLength() == 0);

    const bool discovery = orb::isDiscoveryReply(d, n);
    FUZZ_CHECK(discovery == (orb::validateReplyChain(d, n, orb::kDiscoveryCommand) && d[5] != 0));
    return 0;
}
