// The check every device IP text passes before it is used as a key or an
// address: dotted-decimal IPv4, four fields of 0..255 without leading zeros.
#pragma once

namespace orb {

bool isValidIPv4(const char* text);

}  // namespace orb
