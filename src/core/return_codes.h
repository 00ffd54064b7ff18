// The texts of the library's return codes (RC_*) and of the device status
// codes (DEV_*), and the process-wide detail message returned for the status
// codes 33, 48 and 250.
#pragma once

#include <cstdint>

namespace orb {

// "Unknown error code" for a code that is not a library code.
const char* libraryCodeText(std::int32_t code);
// "The return code exceeds the predetermined range." for one outside 0..255
// or without a text.
const char* statusCodeText(std::int32_t code);

// Stores "The number of parameters exceeds the range." as the detail message.
// The message only ever points at one of two string literals, so a reader
// holding an earlier pointer never sees a torn or freed text.
void setDetailMessageParamsExceeded();

// The current detail message (never null; "" until something was stored).
const char* detailMessage();

}  // namespace orb
