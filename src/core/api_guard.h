// Every exported function runs its body through apiGuard so that no C++
// exception (std::bad_alloc included) ever crosses the C interface.
#pragma once

#include <exception>
#include <utility>

namespace orb {

template <class R, class F>
R apiGuard(R onError, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        return onError;
    }
}

}  // namespace orb
