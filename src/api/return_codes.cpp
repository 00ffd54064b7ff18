// The texts of the return codes.
#include <cstdio>

#include "core/api_guard.h"
#include "core/return_codes.h"
#include "orb_sdk.h"

extern "C" {

// These cannot fail; the guard only keeps the rule that no exception crosses
// the interface.
ORB_API const char* ZelOrbReturnCodeToString(int32_t code) {
    return orb::apiGuard<const char*>("Unknown error code", [&] { return orb::libraryCodeText(code); });
}

ORB_API const char* ZelGetReturnCodeDescriptor(int32_t code) {
    return orb::apiGuard<const char*>("The return code exceeds the predetermined range.",
                                      [&] { return orb::statusCodeText(code); });
}

ORB_API const char* ZelOrbGetDetailedReturnInfo(int32_t code, char* buffer, size_t size) {
    if (!buffer || size == 0) return "Buffer is null or too small";
    return orb::apiGuard<const char*>(buffer, [&] {
        const char* text = orb::libraryCodeText(code);
        if (code < 0)
            std::snprintf(buffer, size, "Error [%d]: %s", static_cast<int>(code), text);
        else
            std::snprintf(buffer, size, "[%d] %s", static_cast<int>(code), text);
        return static_cast<const char*>(buffer);
    });
}

}  // extern "C"
