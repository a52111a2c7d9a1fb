// What a row kernel reads of its call, converted once into the compute type
// of its element type E (binary32 or binary64) and laid out for the rows.
#pragma once

#include <cstdint>

#include "core/call.h"
#include "core/scalar.h"

#ifndef ZENTROVA_ISA
#error "define ZENTROVA_ISA (the instruction-set namespace) before including this header"
#endif

namespace zentrova::ZENTROVA_ISA::resample {

using namespace scalar;

template <class E>
struct Params {
    using T = typename E::compute;
    using raw = typename E::raw;
    const raw* in;
    std::int64_t lo[3], hi[3];   // the box in memory: [lo, hi) along each axis
    std::int64_t n[3];           // the whole input
    std::int64_t in_stride[3];   // elements, any sign
    raw* out;
    std::int64_t out_n[3], out_stride[3], origin[3];
    bool separable, grid_mode;
    // Coordinates given per output voxel (map_coordinates): coord[a] points at
    // axis a's, output voxel (z, y, x) at z * coord_stride[0] + y *
    // coord_stride[1] + x; nullptr for the axes that are not interpolated.
    bool given;
    const double* coord[3];
    std::int64_t coord_stride[2];
    T m[3][3], o[3], zoom[3], shift[3];
    T pad;             // added to the coordinates of the interpolated axes (orders 2 to 5)
    // Elements readable past both ends of axis a, holding what the mode reads
    // there (ResampleCall::margin; 0 along the others).
    std::int64_t margin[3];
    bool clamps;  // 'nearest' or 'grid-constant': footprints past the margin are moved into it
    std::int64_t reach_margin[3];  // the margin where footprints may reach into it unmoved, else 0
    int first_interp;  // axes before it are not interpolated
    int order;
    Mode mode;
    T cval;
    std::int64_t planes_per_task, rows_per_task, row_parts;  // a task's share of the output
    bool pos32;     // every position in the box fits in 32 bits
    bool prefetch;  // a general 3-D call whose rows cross input rows or planes, from a large box
    bool prefetch_reads;  // ... with order 0
    mutable std::int32_t outside_box;  // set by a task that needed input outside the box
    // Order 0 of the types computed in binary32: the call's Params<Nearest64<E>>,
    // in which its decisions are taken where binary32 cannot take scipy's
    // (VectorRows::Exact); nullptr otherwise.
    const void* nearest64;
};

}  // namespace zentrova::ZENTROVA_ISA::resample
