/* Compiled as C11 with -pedantic -Werror: the interface header must stand
 * on its own for C callers and other languages' binding generators. */
#include "orb_sdk.h"

int orb_c_header_check(void) {
    ZelOrbPointData p = {0};
    return (int)sizeof p + RC_OK;
}
