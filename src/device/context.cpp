#include "device/context.h"

namespace orb {

LibraryContext::LibraryContext() : discovery(recorder), control(recorder), reception(registry, recorder) {}

LibraryContext& libraryContext() {
    static LibraryContext context;  // thread-safe first use
    return context;
}

namespace {
// Created while the library loads, so the reception's receive area is
// allocated then and no first call pays for it.
const bool kContextCreatedAtLoad = (libraryContext(), true);
}  // namespace

}  // namespace orb
