#include "platform/thread.h"

namespace orb::platform {

bool launchDetached(std::function<void()> body) { return detachThread(std::move(body)); }

}  // namespace orb::platform
