/* Plain C: the installed header and library must be usable without C++. */
#include <stdio.h>
#include <string.h>

#include "orb_sdk.h"

int main(void) {
    const char* text = ZelOrbReturnCodeToString(RC_DEVICE_NOT_FOUND);
    char buf[64];
    printf("%s\n", ZelOrbGetDetailedReturnInfo(RC_DEVICE_NOT_FOUND, buf, sizeof buf));
    return strcmp(text, "Device not found") == 0 ? 0 : 1;
}
