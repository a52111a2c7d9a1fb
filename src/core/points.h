// Samples of an array of any number of axes at coordinates given one point at
// a time (scipy's map_coordinates, and transforms of more than three
// interpolated axes): the one-voxel arithmetic of resample.h for N axes, the
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

template <class E>
struct PointsTask {
    using T = typename E::compute;
    using raw = typename E::raw;

    struct Args {
        const PointsCall* call;
        std::int64_t points_per_task;
    };

    // The value at point i (cval outright where the mode says so): the whole
    // array is in memory, every axis interpolated.
    static T value(const PointsCall& call, std::int64_t i) {
        static constexpr std::int64_t kZeros[kMaxPointAxes] = {};
        const raw* in = static_cast<const raw*>(call.in);
        const scalar::Grid<T> g{call.ndim, 0, call.order, call.mode, T(call.cval), T(call.pad),
                                call.shape, kZeros, call.shape, call.strides};
        T c[kMaxPointAxes];
        for (int a = 0; a < call.ndim; ++a) c[a] = T(call.coords[a * call.coord_stride + i]);
        T t;
        scalar::sample_point(g, c, [&](std::int64_t at) { return E::widen(load_raw(in + at)); }, &t);
        return t;
    }

    template <class V>
    static void run(const void* ctx, std::size_t task) noexcept {
        const Args& args = *static_cast<const Args*>(ctx);
        const PointsCall& call = *args.call;
        constexpr int L = V::kLanes;
        const std::int64_t p0 = static_cast<std::int64_t>(task) * args.points_per_task;
        const std::int64_t p1 = p0 + args.points_per_task < call.npoints ? p0 + args.points_per_task : call.npoints;
        raw* out = static_cast<raw*>(call.out);
        alignas(64) T vals[L];
        alignas(64) raw tail[L];
        for (std::int64_t i0 = p0; i0 < p1; i0 += L) {
            const int count = p1 - i0 < L ? static_cast<int>(p1 - i0) : L;
            for (int k = 0; k < L; ++k) vals[k] = k < count ? value(call, i0 + k) : T(0);
            if (count == L) {
                E::template store<V>(out + i0, V::load(vals));
            } else if constexpr (L > 1) {  // one lane is always a whole block
                E::template store<V>(tail, V::load(vals));
                std::memcpy(out + i0, tail, static_cast<std::size_t>(count) * sizeof(raw));
            }
        }
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
