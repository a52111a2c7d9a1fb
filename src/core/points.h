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

    // The value at point i (cval outright where the mode says so).
    static T value(const PointsCall& call, std::int64_t i) {
        const int ndim = call.ndim;
        const int corners = call.order + 1;
        const raw* in = static_cast<const raw*>(call.in);
        const T cval = T(call.cval);
        std::int64_t offset[kMaxPointAxes][kMaxOrder + 1];
        bool use_cval[kMaxPointAxes][kMaxOrder + 1];
        T w[kMaxPointAxes][kMaxOrder + 1];
        for (int a = 0; a < ndim; ++a) {
            T x = T(call.coords[a * call.coord_stride + i]);
            if (call.pad != 0.0) x = x + T(call.pad);
            const std::int64_t n = call.shape[a];
            if (call.mode != Mode::kNearest && call.mode != Mode::kGridConstant) {
                x = map_coordinate(x, n, call.mode);
                if (!(x > T(-1))) return cval;
            }
            const std::int64_t start = footprint_start(x, call.order);
            for (int j = 0; j < corners; ++j) {
                const std::int64_t k = static_cast<std::int64_t>(static_cast<std::uint64_t>(start) + j);
                std::int64_t idx;
                if (call.mode == Mode::kGridConstant) {
                    use_cval[a][j] = k < 0 || k >= n;
                    idx = use_cval[a][j] ? 0 : k;
                } else {
                    use_cval[a][j] = false;
                    idx = map_index(k, n, call.mode);
                }
                offset[a][j] = idx * call.strides[a];
            }
            if (call.order > 0) spline_weights(x, call.order, w[a]);
        }
        // The corners in C order: an odometer over the axes, the last one fastest.
        const bool factored = kFactoredSum<T> && call.order > 1;
        const int last = ndim - 1;
        int j[kMaxPointAxes] = {};
        T t = T(0);
        T s[kMaxOrder + 1] = {};
        while (true) {
            bool out = false;
            std::int64_t at = 0;
            for (int a = 0; a < ndim; ++a) {
                out = out || use_cval[a][j[a]];
                at += offset[a][j[a]];
            }
            T v = out ? cval : E::widen(load_raw(in + at));
            if (factored) {
                T lead = last > 0 ? w[0][j[0]] : T(1);
                for (int a = 1; a < last; ++a) lead = lead * w[a][j[a]];
                s[j[last]] = std::fma(lead, v, s[j[last]]);
            } else {
                if (call.order > 0)
                    for (int a = 0; a < ndim; ++a) v = v * w[a][j[a]];
                t = t + v;
            }
            int a = last;
            while (a >= 0 && ++j[a] == corners) j[a--] = 0;
            if (a < 0) break;
        }
        if (factored)
            for (int k = 0; k < corners; ++k) t = std::fma(w[last][k], s[k], t);
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
