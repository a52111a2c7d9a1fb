// Samples of an array of any number of axes at coordinates given one point at
// a time (scipy's map_coordinates) or computed from each output voxel's
// indices (transforms of more than three interpolated axes): the one-voxel
// arithmetic of rows.h for N axes (scalar::sample_point), the
// corners of the footprint in C order (the last axis fastest), each weighted
// axis after axis and summed in that order, as scipy sums them.
//
// Included by each instruction-set file with ZENTROVA_ISA naming its namespace
// (the results of L points are stored by the element type's lane code).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/rows.h"

namespace zentrova::ZENTROVA_ISA::resample {

// The coordinates of the points, in order from a first one: as the caller gave
// them (binary64 values, each already of T: the conversion is exact).
template <class T>
struct GivenPoints {
    const PointsCall* call;
    std::int64_t i;

    GivenPoints(const PointsCall& c, std::int64_t first) : call(&c), i(first) {}
    void at(T* c) const {
        for (int a = 0; a < call->ndim; ++a) c[a] = T(call->coords[a * call->coord_stride + i]);
    }
    void next() { ++i; }
};

// Or computed from each point's indices in the output grid (PointsCall says
// how), every operation in T in that order: the bits of the coordinates that
// the row kernels compute for three axes.
template <class T>
struct GridPoints {
    const PointsCall* call;
    std::int64_t o[kMaxPointAxes];  // the point's indices in the whole output grid

    GridPoints(const PointsCall& c, std::int64_t first) : call(&c) {
        for (int b = c.out_ndim - 1; b >= 0; --b) {
            o[b] = c.out_origin[b] + first % c.out_shape[b];
            first /= c.out_shape[b];
        }
    }
    void at(T* c) const {
        const PointsCall& p = *call;
        if (p.separable) {
            for (int r = 0; r < p.ndim; ++r)
                c[r] = scalar::separable_coordinate(T(o[r]), T(p.shift[r]), T(p.zoom[r]), p.grid_mode);
            return;
        }
        for (int r = 0; r < p.ndim; ++r) {
            const double* m = p.matrix + r * p.out_ndim;
            T x = T(p.offset[r]);
            for (int b = 0; b < p.out_ndim; ++b) x = x + T(o[b]) * T(m[b]);
            c[r] = x;
        }
    }
    void next() {  // C order: the last axis fastest
        for (int b = call->out_ndim - 1; b >= 0; --b) {
            if (++o[b] < call->out_origin[b] + call->out_shape[b]) return;
            o[b] = call->out_origin[b];
        }
    }
};

template <class E>
struct PointsTask {
    using T = typename E::compute;
    using raw = typename E::raw;

    struct Args {
        const PointsCall* call;
        std::int64_t points_per_task;
    };

    // The value at coordinates c (cval outright where the mode says so): the
    // whole array is in memory, every axis interpolated.
    static T value(const PointsCall& call, const T* c) {
        static constexpr std::int64_t kZeros[kMaxPointAxes] = {};
        const raw* in = static_cast<const raw*>(call.in);
        const scalar::Grid<T> g{call.ndim, 0, call.order, call.mode, T(call.cval), T(call.pad),
                                call.shape, kZeros, call.shape, call.strides};
        T t;
        scalar::sample_point(g, c, [&](std::int64_t at) { return E::widen(load_raw(in + at)); }, &t);
        return t;
    }

    template <class V, class Source>
    static void points(const PointsCall& call, std::int64_t p0, std::int64_t p1) {
        constexpr int L = V::kLanes;
        raw* out = static_cast<raw*>(call.out);
        alignas(64) T vals[L];
        alignas(64) raw tail[L];
        T c[kMaxPointAxes];
        Source source(call, p0);
        for (std::int64_t i0 = p0; i0 < p1; i0 += L) {
            const int count = p1 - i0 < L ? static_cast<int>(p1 - i0) : L;
            for (int k = 0; k < L; ++k) {
                if (k < count) {
                    source.at(c);
                    source.next();
                }
                vals[k] = k < count ? value(call, c) : T(0);
            }
            if (count == L) {
                E::template store<V>(out + i0, V::load(vals));
            } else if constexpr (L > 1) {  // one lane is always a whole block
                E::template store<V>(tail, V::load(vals));
                std::memcpy(out + i0, tail, static_cast<std::size_t>(count) * sizeof(raw));
            }
        }
    }

    template <class V>
    static void run(const void* ctx, std::size_t task) noexcept {
        const Args& args = *static_cast<const Args*>(ctx);
        const PointsCall& call = *args.call;
        const std::int64_t p0 = static_cast<std::int64_t>(task) * args.points_per_task;
        const std::int64_t p1 = p0 + args.points_per_task < call.npoints ? p0 + args.points_per_task : call.npoints;
        if (call.coords != nullptr)
            points<V, GivenPoints<T>>(call, p0, p1);
        else
            points<V, GridPoints<T>>(call, p0, p1);
    }
};

// The points of `call`, in parallel over runs of points.
template <class E, class V>
ResampleStatus run_points(const PointsCall& call) noexcept {
    if (call.npoints <= 0) return ResampleStatus::kOk;
    constexpr std::int64_t L = V::kLanes;
    typename PointsTask<E>::Args args{&call, 0};
    // A point reads (order + 1)^ndim samples one at a time, a few nanoseconds each.
    double samples = 1.0;
    for (int a = 0; a < call.ndim; ++a) samples *= call.order + 1;
    std::size_t threads = parallel::threads_for(static_cast<double>(call.npoints) * (10.0 + 2.0 * samples));
    threads = threads < parallel::size() ? threads : parallel::size();
    const std::int64_t want = static_cast<std::int64_t>(parallel::kMinTasksPerWorker * threads + 1);
    std::int64_t per = (call.npoints + want - 1) / want;
    per = (per + L - 1) / L * L;  // whole lane blocks, but for the last task
    args.points_per_task = per < 4096 ? (call.npoints < 4096 ? call.npoints : 4096) : per;
    const std::int64_t tasks = (call.npoints + args.points_per_task - 1) / args.points_per_task;
    if (parallel::for_each(static_cast<std::size_t>(tasks), &PointsTask<E>::template run<V>, &args,
                           parallel::Caller::kWorks, threads) != Status::kOk)
        return ResampleStatus::kPoolUnavailable;
    return ResampleStatus::kOk;
}

}  // namespace zentrova::ZENTROVA_ISA::resample
