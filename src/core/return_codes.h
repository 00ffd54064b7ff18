// Library-side access to the process-wide detail message returned for the
// status codes 33, 48 and 250.
#pragma once

namespace orb {

// Stores "The number of parameters exceeds the range." as the detail message.
// The message only ever points at one of two string literals, so a reader
// holding an earlier pointer never sees a torn or freed text.
void SetDetailMessageParamsExceeded();

// The current detail message (never null; "" until something was stored).
const char* DetailMessage();

}  // namespace orb
