#include "filters/filter_settings.h"

namespace orb {

void ApplyDistanceWindow(const FilterSettings&, ZelOrbPointData&) {}

void RunFrameChain(FilterSettings&, ZelOrbPointData*) {}

}  // namespace orb
