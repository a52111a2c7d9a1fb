// What the resampler's kernels are given: plain data, shared by the binding
// (baseline code) and the kernels (one copy per instruction set).
#pragma once

#include <cstdint>

#include "core/view.h"

namespace zentrova {

// Border modes, with scipy.ndimage's meaning ('grid-mirror' is 'reflect').
enum class Mode : int {
    kConstant = 0,      // cval outside [0, n - 1], no interpolation towards it
    kGridConstant = 1,  // samples outside [0, n) read cval, interpolated with the rest
    kNearest = 2,       // the edge sample repeated
    kReflect = 3,       // d c b a | a b c d | d c b a
    kMirror = 4,        // d c b | a b c d | c b a
    kWrap = 5,          // period n - 1: the first and last sample coincide
    kGridWrap = 6,      // period n
};

// The names of the modes as scipy.ndimage spells them; the Python package
// takes its table from here.
struct ModeName {
    const char* name;
    Mode mode;
};
inline constexpr ModeName kModeNames[] = {
    {"constant", Mode::kConstant}, {"grid-constant", Mode::kGridConstant}, {"nearest", Mode::kNearest},
    {"reflect", Mode::kReflect},   {"grid-mirror", Mode::kReflect},        {"mirror", Mode::kMirror},
    {"wrap", Mode::kWrap},         {"grid-wrap", Mode::kGridWrap},
};

// Element types the resampler reads and writes (input and output alike), and
// bool, which results may be stored into but which has no kernel.
enum class Element : int { kU8, kI8, kU16, kI16, kF16, kF32, kF64, kI32, kU32, kI64, kU64, kBool };

// One call: output voxels [out_origin, out_origin + out.shape) of the whole
// output grid, sampled from an input of `full_shape`, of which `in` holds the
// box that starts at `box_origin`. Strides count elements: the input's may be
// any (negative too), the output's x stride is 1.
struct ResampleCall {
    const void* in;
    std::int64_t in_shape[3];    // the box held in memory
    std::int64_t in_strides[3];  // z, y, x
    std::int64_t box_origin[3];
    std::int64_t full_shape[3];  // the whole input, for the border modes
    void* out;
    std::int64_t out_shape[3];
    std::int64_t out_strides[2];  // z, y
    std::int64_t out_origin[3];

    // Coordinate of output voxel (z, y, x) along input axis r:
    //   general: ((offset[r] + Z*m[r][0]) + Y*m[r][1]) + X*m[r][2]
    //   separable (zoom and shift): (K_r + shift[r]) * zoom[r], or with
    //     grid_mode ((K_r + shift[r]) + 0.5) * zoom[r] - 0.5, K_r the index along r
    // each operation rounded in the compute type (binary32 for 8- and 16-bit
    // elements and float32 at orders 1 to 5, binary64 for the others and for
    // every element at order 0).
    bool separable;
    bool grid_mode;
    // Or the coordinates given per output voxel (map_coordinates): coords[r]
    // holds axis r's as binary64, output voxel (z, y, x) at z * coord_strides[0]
    // + y * coord_strides[1] + x (the whole output grid's indices); nullptr for
    // the axes that are not interpolated, and all nullptr for the other forms.
    const double* coords[3];
    std::int64_t coord_strides[2];
    double matrix[3][3];
    double offset[3];
    double zoom[3];
    double shift[3];

    // Axes 0 .. 3 - interpolated - 1 are not interpolated: their coordinate is
    // an exact index (a batch axis, or an axis added to reach three).
    int interpolated;
    int order;  // 0 to 5
    // Added to the coordinate of every interpolated axis once it is computed:
    // the coefficients of orders 2 to 5 may lie in an array padded by this
    // many samples on each side (scipy's prepadding for 'nearest' and
    // 'grid-constant').
    double pad;
    // The input's memory holds `margin` more elements past both ends of every
    // interpolated axis, each what the mode reads there (the edge element and
    // cval for 'nearest' and 'grid-constant', the mapped sample for the
    // others), so that the vector blocks read the samples outside the input
    // where the one-voxel path maps them (0 when it does not; the box is then
    // the whole input).
    std::int64_t margin;
    Mode mode;
    double cval;
};

// Samples over an input of any number of axes (map_coordinates, and
// transforms of more than three moving axes), at coordinates given point by
// point or computed from each point's indices in the output grid.
inline constexpr int kMaxPointAxes = 32;

struct PointsCall {
    const void* in;
    int ndim;
    std::int64_t shape[kMaxPointAxes];
    std::int64_t strides[kMaxPointAxes];  // elements, any sign
    // Given coordinates: coords[a * coord_stride + i] is axis a's of point i,
    // as binary64. nullptr when they are computed (below).
    const double* coords;
    std::int64_t coord_stride;
    std::int64_t npoints;
    void* out;                            // npoints elements, contiguous
    int order;                            // 0 to 5
    Mode mode;
    double cval;
    double pad;                           // as ResampleCall's

    // Computed coordinates: the points are the voxels of the window of the
    // output grid that starts at out_origin, of out_shape (out_ndim axes), in
    // C order. Of output voxel o, along input axis r:
    //   matrix: ((offset[r] + o_0 * m[r][0]) + o_1 * m[r][1]) + ...,
    //     m[r][b] = matrix[r * out_ndim + b];
    //   separable (out_ndim == ndim): (o_r + shift[r]) * zoom[r], or with
    //     grid_mode ((o_r + shift[r]) + 0.5) * zoom[r] - 0.5;
    // every operation rounded in the kernel's compute type, binary64 at order 0
    // (the types of ResampleCall's coordinates).
    int out_ndim;
    std::int64_t out_shape[kMaxPointAxes];
    std::int64_t out_origin[kMaxPointAxes];
    bool separable;
    bool grid_mode;
    const double* matrix;  // ndim x out_ndim
    const double* offset;  // ndim
    const double* zoom;    // ndim
    const double* shift;   // ndim
};

// The widest margin: more than any footprint reaches past an edge.
inline constexpr std::int64_t kMaxMargin = 64;

// What a window's margins along y and x hold, filled a plane at a time as soon
// as the plane is filtered (while it is in the cache): `width` samples before
// the first row or column and after the last, each what `mode` reads there
// (the kernels' border rule), or `value` where `constant`.
struct MarginFill {
    std::int64_t width;  // 1 .. kMaxMargin
    Mode mode;
    bool constant;
    double value;
};

// An array of any number of axes whose axes first .. last hold a margin of
// `width` samples at both ends (`shape` counts it), filled in place from the
// rest: each margin sample what `mode` reads at its index, or `value` (one
// element of the array's type) where given. Strides count elements, any sign.
inline constexpr int kMaxMarginAxes = 64;

struct MarginCall {
    void* data;
    int ndim;
    int element_size;  // 1, 2, 4 or 8 bytes
    std::int64_t shape[kMaxMarginAxes];
    std::int64_t strides[kMaxMarginAxes];
    int first, last;
    std::int64_t width;  // 0 .. kMaxMargin
    Mode mode;
    const void* value;  // nullptr: what the mode reads
};

enum class ResampleStatus : int {
    kOk = 0,
    kOutsideBox,        // a voxel needed input outside the box in memory
    kPoolUnavailable,   // the worker threads could not be started
    kNoMemory,          // a task could not get its scratch memory
};

}  // namespace zentrova
