// Pauses of the library (retry pauses, idle polls, the pauses around a
// control-server connection) return at once in the fuzz targets: they only
// wait for a peer, and the fake socket layer has every answer ready. The
// library's pauses go through std::this_thread::sleep_for, which reaches this
// through the C library's nanosleep; libFuzzer's own timers do not use it.
#include <ctime>
#include <sched.h>

extern "C" int nanosleep(const struct timespec*, struct timespec* remaining) {
    if (remaining) {
        remaining->tv_sec = 0;
        remaining->tv_nsec = 0;
    }
    sched_yield();  // a polling thread still lets the others run
    return 0;
}
