// Test programs link thread_launch_seam.cpp's launchDetached in place of the
// platform layer's, so that a test can make the next thread starts fail as
// if the system had no threads left.
#pragma once

namespace orbtest {

// The next n starts of the library's detached threads fail.
void failNextThreadLaunches(int n);

}  // namespace orbtest
