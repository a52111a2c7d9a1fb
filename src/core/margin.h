// Margins: samples held beside an array, past both ends of some of its axes,
// each a copy of the sample the border mode reads at that index (scalar::map_index,
// the rule by which the kernels read past an edge) or one value (cval, for
// 'grid-constant'). With them in memory the kernels' vector blocks read past
// the edges where the one-voxel path would map each index.
//
// The copies are of whole elements, as bytes: no value is converted, so every
// element type (and every NaN payload) comes out as it went in.
//
// Included by each instruction-set file with ZENTROVA_ISA naming its namespace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/scalar.h"
#include "pool/parallel.h"

namespace zentrova::ZENTROVA_ISA::resample {

// For margin sample k (0 .. width - 1) before the first sample of an axis of n
// samples (index k - width) and after the last (index n + k): the sample it
// copies. 'grid-constant' has none (it reads cval there); its margins take a value.
inline void margin_sources(std::int64_t n, std::int64_t width, Mode mode, std::int64_t* before,
                           std::int64_t* after) {
    for (std::int64_t k = 0; k < width; ++k) {
        before[k] = scalar::map_index(k - width, n, mode);
        after[k] = scalar::map_index(n + k, n, mode);
    }
}

// One axis of a MarginCall: its 2 * width margin slabs, each over the whole
// extent of the other axes (their margins included), in units of one slab of
// one index of the axes before it.
template <class Raw>
struct MarginPass {
    const MarginCall* call;
    int axis;
    std::int64_t n;                  // the axis without its margins
    std::int64_t from[2 * kMaxMargin];  // the index (margins counted) each slab copies; unused with a value
    std::int64_t outer;              // index combinations of the axes before `axis`
    std::int64_t units;              // outer * 2 * width
    std::int64_t units_per_task;
    Raw value;

    // The offset (elements) of combination o of the axes before `axis`.
    std::int64_t outer_offset(std::int64_t o) const {
        std::int64_t off = 0;
        for (int a = axis - 1; a >= 0; --a) {
            off += (o % call->shape[a]) * call->strides[a];
            o /= call->shape[a];
        }
        return off;
    }

    // The axes from `a` on of the block at `dst`: a copy of the block at `src`,
    // or `value` where src is nullptr.
    void block(Raw* dst, const Raw* src, int a) const {
        const std::int64_t len = call->shape[a], stride = call->strides[a];
        if (a == call->ndim - 1) {
            if (src == nullptr) {
                for (std::int64_t i = 0; i < len; ++i) dst[i * stride] = value;
            } else if (stride == 1) {
                std::memcpy(dst, src, static_cast<std::size_t>(len) * sizeof(Raw));
            } else {
                for (std::int64_t i = 0; i < len; ++i) dst[i * stride] = src[i * stride];
            }
            return;
        }
        for (std::int64_t i = 0; i < len; ++i) block(dst + i * stride, src == nullptr ? nullptr : src + i * stride, a + 1);
    }

    static void run(const void* ctx, std::size_t task) noexcept {
        const MarginPass& pass = *static_cast<const MarginPass*>(ctx);
        const MarginCall& call = *pass.call;
        const std::int64_t slabs = 2 * call.width;
        const std::int64_t u0 = static_cast<std::int64_t>(task) * pass.units_per_task;
        const std::int64_t u1 = u0 + pass.units_per_task < pass.units ? u0 + pass.units_per_task : pass.units;
        Raw* data = static_cast<Raw*>(call.data);
        const std::int64_t stride = call.strides[pass.axis];
        std::int64_t o = -1, base = 0;
        for (std::int64_t u = u0; u < u1; ++u) {
            if (u / slabs != o) {
                o = u / slabs;
                base = pass.outer_offset(o);
            }
            const std::int64_t j = u % slabs;
            const std::int64_t at = j < call.width ? j : pass.n + j;  // margin slab j: before, then after
            Raw* dst = data + base + at * stride;
            const Raw* src = call.value != nullptr ? nullptr : data + base + pass.from[j] * stride;
            if (pass.axis == call.ndim - 1) {
                *dst = src == nullptr ? pass.value : *src;
            } else {
                pass.block(dst, src, pass.axis + 1);
            }
        }
    }
};

// The margins of `call` along its axes first .. last, an axis after the other,
// each over the whole extent of the others: a corner holds what the mode reads
// along every axis. On the pool for large arrays; each element is written once
// a pass from elements no task of that pass writes, so the split changes nothing.
template <class Raw>
ResampleStatus fill_margin_of(const MarginCall& call) noexcept {
    MarginPass<Raw> pass{};
    pass.call = &call;
    if (call.value != nullptr) std::memcpy(&pass.value, call.value, sizeof(Raw));
    std::int64_t total = 1;
    for (int a = 0; a < call.ndim; ++a) total *= call.shape[a];
    for (int axis = call.first; axis <= call.last && call.width > 0 && total > 0; ++axis) {
        pass.axis = axis;
        pass.n = call.shape[axis] - 2 * call.width;
        if (call.value == nullptr) {
            margin_sources(pass.n, call.width, call.mode, pass.from, pass.from + call.width);
            for (std::int64_t k = 0; k < 2 * call.width; ++k) pass.from[k] += call.width;
        }
        pass.outer = 1;
        for (int a = 0; a < axis; ++a) pass.outer *= call.shape[a];
        const std::int64_t inner = total / (pass.outer * call.shape[axis]);  // elements of one slab
        pass.units = pass.outer * 2 * call.width;
        // Tasks of at least 2^14 elements; one element costs about a nanosecond
        // (more for the scattered ones of the last axis).
        pass.units_per_task = (std::int64_t{1} << 14) / inner + 1;
        const std::int64_t tasks = (pass.units + pass.units_per_task - 1) / pass.units_per_task;
        const double work = static_cast<double>(pass.units) * static_cast<double>(inner) * (inner == 1 ? 3.0 : 1.0);
        if (parallel::for_each(static_cast<std::size_t>(tasks), &MarginPass<Raw>::run, &pass,
                               parallel::Caller::kWorks, parallel::threads_for(work)) != Status::kOk)
            return ResampleStatus::kPoolUnavailable;
    }
    return ResampleStatus::kOk;
}

// The kernel of the element size of `call` (1, 2, 4 or 8 bytes).
inline ResampleStatus fill_margin(const MarginCall& call) noexcept {
    switch (call.element_size) {
        case 1: return fill_margin_of<std::uint8_t>(call);
        case 2: return fill_margin_of<std::uint16_t>(call);
        case 4: return fill_margin_of<std::uint32_t>(call);
        case 8: return fill_margin_of<std::uint64_t>(call);
        default: return ResampleStatus::kOk;
    }
}

}  // namespace zentrova::ZENTROVA_ISA::resample
