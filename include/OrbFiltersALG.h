/* Host-side filter pipeline for one camera's point-cloud frames
 * (150 rows x 360 columns = 54,000 points).
 *
 * A pass projects the points into a 16-bit depth image (code = x * 10,
 * truncated; x is the forward axis), runs the enabled stages on it and
 * projects the image back, each point along its own ray:
 *   1. spatial median (median filter over the depth image);
 *   2. time median (per-pixel median over the last N frames, with motion
 *      handling: pixels that move away or change recently follow the current
 *      frame, large approaching objects pass through, isolated jumps toward
 *      the camera are replaced by the median);
 *   3. flying pixels (pixels far from both horizontal or both vertical
 *      neighbours are removed).
 * Thresholds are in depth codes (tenths of the coordinate unit). Points with
 * x <= 0, x >= 6553.6 (the code would not fit 16 bits) or a code above 60000
 * come out empty (0, 0, 0); a point exactly on the x axis keeps x = code / 10.
 *
 * Every device owns one instance (driven through ZelOrbSetSpatialFilter,
 * ZelOrbSetTimeMedianFilter, ZelOrbSetFlyingFilter); an application may also
 * create its own. All operations are thread-safe (one mutex per instance) and
 * none throws. The header needs no OpenCV headers. */
#ifndef ORB_FILTERS_ALG_H
#define ORB_FILTERS_ALG_H

#include <cstdint>
#include <memory>

#include "orb_sdk.h"
#include "orb_sdk_export.h"

/* The class and member names (PascalCase setters, lower-case operations, the
 * "FlyPixe" spelling) are kept as they are for compatibility with existing
 * applications; the library's internal code follows its own convention. */
class ORB_API OrbFiltersALG {
public:
    /* Constructs with the defaults that init() sets, so the instance is usable
     * at once; init() may be called again at any time to reset it. */
    OrbFiltersALG();
    ~OrbFiltersALG();
    OrbFiltersALG(const OrbFiltersALG&) = delete;
    OrbFiltersALG& operator=(const OrbFiltersALG&) = delete;

    /* Defaults: every stage off, spatial size 5, time-median count 5 and
     * threshold 100, flying-pixel threshold 300; empties the history. */
    void init();

    /* size: median aperture. 3 and 5 run one median pass; 7 and above run
     * ((size - 1) / 2) - 1 passes of the 5 x 5 median. Sizes the median filter
     * cannot take are clamped to the nearest valid size at or below: 4 -> 3,
     * 6 -> 5, and any size below 3 (2, 0, negatives) makes the stage a no-op.
     * Sizes above 31 are clamped to 31 (14 passes) to bound a pass's time. */
    void SetSpatialFilter(bool enable, int32_t size);
    void SetSpatialFilterEnable(bool enable);
    bool GetSpatialFilterEnable();

    /* count: N, frames in the history; the ring has 9 slots, so counts are
     * clamped to 1..9 (0 and negatives -> 1, above 9 -> 9). threshold: change
     * threshold in depth codes; its low 16 bits are used. The first N - 1
     * passes after a restart leave the frame unchanged while the history
     * fills; the history restarts when the stage is switched off or the count
     * or threshold changes. */
    void SetTimeMedianFilter(bool enable, int32_t count, int32_t threshold);
    void SetTimeMedianFilterEnable(bool enable);
    bool GetTimeMedianFilterEnable();

    /* threshold: P; a pixel is removed when it differs by more than 3 * P
     * depth codes from both horizontal or both vertical neighbours. */
    void SetFlyPixeFilter(bool enable, int32_t threshold);
    void SetFlyPixeFilterEnable(bool enable);
    bool GetFlyPixeFilterEnable();

    /* One pass over 54,000 points; in and out each hold 54,000 x 3 floats
     * (x, y, z per point) and may be the same buffer. The projection there and
     * back runs even with every stage off. A null pointer is ignored. */
    void filtering(float* in, float* out);
    /* Filters x, y and z of a frame of 150 rows of 360 points in place; the
     * other fields are kept. Does nothing when every stage is off. */
    void filtering(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif /* ORB_FILTERS_ALG_H */
