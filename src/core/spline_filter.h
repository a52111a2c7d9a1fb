// The B-spline prefilter of scipy.ndimage (spline_filter1d): along one axis
// of a binary64 array, every line is multiplied by the filter's gain and then
// run through the causal and anticausal recursion of each pole of the order,
// each started by the initial value of the border mode (mirror, wrap or
// reflect). Every operation is scipy's, in scipy's order, so every line gives
// scipy's bits; lanes hold neighbouring lines, which share nothing.
//
// The lines come from a binary32 or binary64 array and go into one (the same
// array, or one that does not overlap it): converted to binary64 on the way
// in (exactly), and rounded to the destination's type on the way out as a C
// cast does, so that a conversion before or after the filter costs no pass of
// its own. Lines along the axis whose neighbours along the next axes are
// adjacent in memory are filtered in place, L lines at a time, when source
// and destination are one binary64 array; the others (lines along the last
// axis, the last lines of a row, and every line that changes arrays or type)
// are gathered into a scratch buffer laid out as L interleaved lines first.
//
// Included by each instruction-set file with ZENTROVA_ISA naming its
// namespace.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "pool/parallel.h"
#include "core/call.h"
#include "core/margin.h"
#include "core/scalar.h"

namespace zentrova::ZENTROVA_ISA::spline {

using namespace scalar;

// The initial values of a border mode: 'nearest' and 'reflect' start as a
// reflection about the half-sample edge, 'grid-wrap' as a periodic line, the
// others as a mirror about the edge sample.
enum class Start { kMirror, kWrap, kReflect };

inline Start start_of(Mode mode) {
    switch (mode) {
        case Mode::kGridWrap: return Start::kWrap;
        case Mode::kNearest:
        case Mode::kReflect: return Start::kReflect;
        default: return Start::kMirror;
    }
}

// A panel of P * L lines: element i of line v * L + k at p[i * stride + v * L + k].
// The recursions run along i, each line's a chain of dependent operations; a
// panel keeps P of them in flight and reads P * L neighbouring lines' rows at
// each step.
// Lane types that transpose L x L tiles in registers and convert binary32 on
// their way in and out of them.
template <class V>
concept HasTiles = requires(typename V::f32 (&r)[V::kLanes], float* f, typename V::f32 x) {
    V::transpose(r);
    V::load_unaligned(static_cast<const float*>(f));
    V::store_unaligned(f, x);
};

template <class V, int P>
struct Panel {
    using f = typename V::f32;
    static constexpr int L = V::kLanes;
    double* p;
    std::int64_t n, stride;
    f at(std::int64_t i, int v) const { return V::load_unaligned(p + i * stride + v * L); }
    void put(std::int64_t i, int v, f x) const { V::store_unaligned(p + i * stride + v * L, x); }
};

// Calls f(v) for v = 0 .. P - 1.
template <int P, class F>
__attribute__((always_inline)) inline void each(F&& f) {
    for (int v = 0; v < P; ++v) f(v);
}

template <class V, int P>
void causal_start(const Panel<V, P> c, double z, Start start) {
    using f = typename V::f32;
    const std::int64_t n = c.n;
    f c0[P];
    double z_i = z;
    if (start == Start::kMirror) {
        const double z_n_1 = std::pow(z, static_cast<double>(n - 1));
        const f zn = V::splat(z_n_1);
        each<P>([&](int v) { c0[v] = V::add(c.at(0, v), V::mul(zn, c.at(n - 1, v))); });
        for (std::int64_t i = 1; i < n - 1; ++i) {
            const f zi = V::splat(z_i);
            each<P>([&](int v) { c0[v] = V::add(c0[v], V::mul(zi, V::add(c.at(i, v), V::mul(zn, c.at(n - 1 - i, v))))); });
            z_i *= z;
        }
        const f d = V::splat(1 - z_n_1 * z_n_1);
        each<P>([&](int v) { c.put(0, v, V::div(c0[v], d)); });
    } else if (start == Start::kWrap) {
        each<P>([&](int v) { c0[v] = c.at(0, v); });
        for (std::int64_t i = 1; i < n; ++i) {
            const f zi = V::splat(z_i);
            each<P>([&](int v) { c0[v] = V::add(c0[v], V::mul(zi, c.at(n - i, v))); });
            z_i *= z;
        }
        const f d = V::splat(1 - z_i);  // z_i = z^n
        each<P>([&](int v) { c.put(0, v, V::div(c0[v], d)); });
    } else {
        // The sum of the reflected line runs apart from c[0]: its last term
        // reads the line's first element as it was, not the partial sum.
        const double z_n = std::pow(z, static_cast<double>(n));
        const f zn = V::splat(z_n);
        f first[P];
        each<P>([&](int v) {
            first[v] = c.at(0, v);
            c0[v] = V::add(first[v], V::mul(zn, c.at(n - 1, v)));
        });
        for (std::int64_t i = 1; i < n; ++i) {
            const f zi = V::splat(z_i);
            each<P>([&](int v) { c0[v] = V::add(c0[v], V::mul(zi, V::add(c.at(i, v), V::mul(zn, c.at(n - 1 - i, v))))); });
            z_i *= z;
        }
        const f zv = V::splat(z);
        const f d = V::splat(1 - z_n * z_n);
        each<P>([&](int v) { c.put(0, v, V::add(first[v], V::div(V::mul(c0[v], zv), d))); });
    }
}

template <class V, int P>
void anticausal_start(const Panel<V, P> c, double z, Start start) {
    using f = typename V::f32;
    const std::int64_t n = c.n;
    const f zv = V::splat(z);
    if (start == Start::kMirror) {
        const f d = V::splat(z * z - 1);
        each<P>([&](int v) { c.put(n - 1, v, V::div(V::mul(V::add(V::mul(zv, c.at(n - 2, v)), c.at(n - 1, v)), zv), d)); });
    } else if (start == Start::kWrap) {
        f last[P];
        each<P>([&](int v) { last[v] = c.at(n - 1, v); });
        double z_i = z;
        for (std::int64_t i = 0; i < n - 1; ++i) {
            const f zi = V::splat(z_i);
            each<P>([&](int v) { last[v] = V::add(last[v], V::mul(zi, c.at(i, v))); });
            z_i *= z;
        }
        const f scale = V::splat(z / (z_i - 1));  // z_i = z^n
        each<P>([&](int v) { c.put(n - 1, v, V::mul(last[v], scale)); });
    } else {
        const f scale = V::splat(z / (z - 1));
        each<P>([&](int v) { c.put(n - 1, v, V::mul(c.at(n - 1, v), scale)); });
    }
}

// scipy's apply_filter on the lines of a panel, of length n >= 2; `gained`:
// its samples are already multiplied by the gain (on their way into the
// scratch buffer, which saves a pass over it). The panel is taken by value:
// the vector stores may alias anything, and would make the compiler reload a
// referenced panel's fields after each.
template <class V, int P>
void filter_lines(const Panel<V, P> c, const double* poles, int npoles, Start start, bool gained) {
    using f = typename V::f32;
    const f g = V::splat(filter_gain(poles, npoles));
    if (!gained)
        for (std::int64_t i = 0; i < c.n; ++i) each<P>([&](int v) { c.put(i, v, V::mul(c.at(i, v), g)); });
    for (int k = 0; k < npoles; ++k) {
        const double z = poles[k];
        const f zv = V::splat(z);
        f run[P];
        causal_start(c, z, start);
        each<P>([&](int v) { run[v] = c.at(0, v); });
        for (std::int64_t i = 1; i < c.n; ++i) {
            each<P>([&](int v) {
                run[v] = V::add(c.at(i, v), V::mul(zv, run[v]));
                c.put(i, v, run[v]);
            });
        }
        anticausal_start(c, z, start);
        each<P>([&](int v) { run[v] = c.at(c.n - 1, v); });
        for (std::int64_t i = c.n - 2; i >= 0; --i) {
            each<P>([&](int v) {
                run[v] = V::mul(zv, V::sub(run[v], c.at(i, v)));
                c.put(i, v, run[v]);
            });
        }
    }
}

// One call: the lines along one axis of src and dst, which share a layout:
// element i of line l at line_at(l) + i * stride, where the lines come in
// groups of group_len (line l is member l % group_len of group l / group_len),
// group_stride elements apart, their members member_step apart. Along axis a
// of a C-contiguous array the groups are the indices before a and the members
// those after it (set_contiguous); a 3-D window inside a larger array (the
// coefficients with a margin around them) is one too.
struct FilterCall {
    const void* src;
    void* dst;
    bool src_f32, dst_f32;
    std::int64_t n;      // the axis's length (>= 2)
    std::int64_t stride;  // elements between neighbours along the axis
    std::int64_t lines;   // lines in all
    std::int64_t group_len, group_stride, member_step;
    std::int64_t batches_per_task;  // panels
    double poles[2];
    int npoles;
    Start start;
    mutable std::int32_t no_memory;

    bool in_place() const { return src == dst && !src_f32 && !dst_f32; }
    std::int64_t line_at(std::int64_t l) const { return (l / group_len) * group_stride + (l % group_len) * member_step; }
    // Lines of n elements `inner` apart (the product of the axes after this
    // one), `lines` of them.
    void set_contiguous(std::int64_t inner) {
        stride = inner;
        group_len = inner;
        group_stride = n * inner;
        member_step = 1;
    }
};

template <class V>
struct FilterTask {
    static constexpr int P = 8;                 // vectors per panel
    static constexpr int W = P * V::kLanes;     // lines per panel

    static void run(const void* ctx, std::size_t task) noexcept {
        const FilterCall& call = *static_cast<const FilterCall*>(ctx);
        const std::int64_t panels = (call.lines + W - 1) / W;
        const std::int64_t b0 = static_cast<std::int64_t>(task) * call.batches_per_task;
        const std::int64_t b1 = b0 + call.batches_per_task < panels ? b0 + call.batches_per_task : panels;
        if (!filter_panels(call, b0, b1)) __atomic_store_n(&call.no_memory, 1, __ATOMIC_RELAXED);
        release_scratch();
    }

    // The calling thread's scratch buffer, for lines of up to n samples
    // (nullptr without memory). It is kept between tasks up to kKeptScratch
    // bytes: malloc makes a buffer of this size (from 128 KiB) with mmap,
    // whose fresh pages would cost a page fault each on every task.
    static constexpr std::size_t kKeptScratch = std::size_t(1) << 21;
    struct Scratch {
        double* p = nullptr;
        std::size_t bytes = 0;
        ~Scratch() { std::free(p); }
    };
    static Scratch& thread_scratch() {
        static thread_local Scratch scratch;
        return scratch;
    }
    static double* scratch_for(std::int64_t n) {
        Scratch& s = thread_scratch();
        const std::size_t bytes = static_cast<std::size_t>(n) * W * sizeof(double);
        if (bytes > s.bytes) {
            std::free(s.p);
            // On a cache line: every row of the panel (W doubles, a multiple
            // of 64 bytes) then is, and no vector access is split across two.
            s.p = static_cast<double*>(std::aligned_alloc(64, (bytes + 63) & ~std::size_t(63)));
            s.bytes = s.p != nullptr ? bytes : 0;
        }
        return s.p;
    }
    static void release_scratch() {
        Scratch& s = thread_scratch();
        if (s.bytes > kKeptScratch) {
            std::free(s.p);
            s.p = nullptr;
            s.bytes = 0;
        }
    }

    // Panels b0 .. b1 - 1 of the call; false when the scratch buffer could not be made.
    static bool filter_panels(const FilterCall& call, std::int64_t b0, std::int64_t b1) {
        for (std::int64_t b = b0; b < b1; ++b) {
            const std::int64_t first = b * W;
            const std::int64_t count = call.lines - first < W ? call.lines - first : W;
            const std::int64_t j = first % call.group_len;
            if (call.in_place() && count == W && j + W <= call.group_len && call.member_step == 1) {
                // adjacent in memory: in place
                double* base = static_cast<double*>(call.dst) + call.line_at(first);
                filter_lines(Panel<V, P>{base, call.n, call.stride}, call.poles, call.npoles, call.start, false);
                continue;
            }
            double* scratch = scratch_for(call.n);
            if (scratch == nullptr) return false;
            if (call.src_f32)
                copy_lines<true>(call, static_cast<float*>(const_cast<void*>(call.src)), first, count, scratch);
            else
                copy_lines<true>(call, static_cast<double*>(const_cast<void*>(call.src)), first, count, scratch);
            filter_lines(Panel<V, P>{scratch, call.n, W}, call.poles, call.npoles, call.start, true);
            if (call.dst_f32)
                copy_lines<false>(call, static_cast<float*>(call.dst), first, count, scratch);
            else
                copy_lines<false>(call, static_cast<double*>(call.dst), first, count, scratch);
        }
        return true;
    }

    // Lines first .. first + count - 1 of `data` into (kIn, multiplied by the
    // filter's gain) or out of the scratch buffer; the lines past count are
    // zeros, filtered and dropped.
    // Lines that are neighbours in memory are copied row by row; the others
    // in blocks of the line, so that the block of the scratch stays in the
    // first-level cache while every line's piece of it is copied.
    static constexpr std::int64_t kRowsAhead = 8;

    template <bool kIn, class Elem>
    static void copy_lines(const FilterCall& call, Elem* data, std::int64_t first, std::int64_t count, double* scratch) {
        const double gain = filter_gain(call.poles, call.npoles);
        auto move = [gain](double& s, Elem& e) __attribute__((always_inline)) {
            if constexpr (kIn)
                s = static_cast<double>(e) * gain;
            else
                e = static_cast<Elem>(s);
        };
        if constexpr (HasTiles<V>)
            if (call.stride == 1) return copy_tiles<kIn>(call, data, first, count, scratch, gain);
        const std::int64_t j = first % call.group_len;
        if (j + count <= call.group_len && call.member_step == 1) {
            Elem* base = data + call.line_at(first);
            const std::int64_t bytes = count * static_cast<std::int64_t>(sizeof(Elem));
            for (std::int64_t i = 0; i < call.n; ++i) {
                Elem* p = base + i * call.stride;
                // Rows of a line far apart (along the first axis, a plane apart) are each in a
                // page of their own, which the hardware prefetcher does not cross: asked for
                // kRowsAhead rows ahead, the copy does not wait on memory at every row.
                if (i + kRowsAhead < call.n) {
                    const char* ahead = reinterpret_cast<const char*>(p + kRowsAhead * call.stride);
                    for (std::int64_t b = 0; b < bytes; b += 64) __builtin_prefetch(ahead + b, kIn ? 0 : 1, 3);
                }
                double* q = scratch + i * W;
                for (std::int64_t k = 0; k < count; ++k) move(q[k], p[k]);
                if constexpr (kIn)
                    for (std::int64_t k = count; k < W; ++k) q[k] = 0.0;
            }
            return;
        }
        constexpr std::int64_t kBlock = 64;
        for (std::int64_t i0 = 0; i0 < call.n; i0 += kBlock) {
            const std::int64_t i1 = i0 + kBlock < call.n ? i0 + kBlock : call.n;
            for (std::int64_t k = 0; k < W; ++k) {
                if (k >= count) {
                    if constexpr (kIn)
                        for (std::int64_t i = i0; i < i1; ++i) scratch[i * W + k] = 0.0;
                    continue;
                }
                Elem* p = data + call.line_at(first + k);
                for (std::int64_t i = i0; i < i1; ++i) move(scratch[i * W + k], p[i * call.stride]);
            }
        }
    }

    // copy_lines for lines along the last axis (each line's samples adjacent
    // in memory, lines one after the other): tiles of L lines by L samples
    // read as L vectors and transposed in registers; the samples before the
    // first tile and past the last whole one, one by one. When every line
    // starts at the same offset within a cache line (NumPy's large arrays
    // start 16 bytes into one), the tiles start on a cache line, so that no
    // vector access is split across two.
    template <bool kIn, class Elem>
    static void copy_tiles(const FilterCall& call, Elem* data, std::int64_t first, std::int64_t count, double* scratch,
                           double gain) {
        constexpr int L = V::kLanes;
        constexpr auto kSize = static_cast<std::int64_t>(sizeof(Elem));
        const typename V::f32 g = V::splat(gain);
        const std::int64_t n = call.n;
        std::int64_t head = 0;
        if ((call.group_len == 1 || (call.member_step * kSize) % 64 == 0) && (call.group_stride * kSize) % 64 == 0) {
            const auto misalign = reinterpret_cast<std::uintptr_t>(data + call.line_at(first)) % 64;
            if (misalign % sizeof(Elem) == 0) head = static_cast<std::int64_t>((64 - misalign) % 64 / sizeof(Elem));
            if (head >= n) head = 0;
        }
        const std::int64_t whole = head + (n - head) - (n - head) % L;
        auto one = [&](Elem& e, double& q) __attribute__((always_inline)) {
            if constexpr (kIn)
                q = static_cast<double>(e) * gain;
            else
                e = static_cast<Elem>(q);
        };
        for (std::int64_t k0 = 0; k0 < W; k0 += L) {
            if (k0 + L > count) {  // the panel's last lines: one by one, zeros past count
                for (std::int64_t k = k0; k < W; ++k)
                    for (std::int64_t i = 0; i < n; ++i) {
                        if (k < count)
                            one(data[call.line_at(first + k) + i], scratch[i * W + k]);
                        else if constexpr (kIn)
                            scratch[i * W + k] = 0.0;
                    }
                break;
            }
            Elem* lines[L];
            for (int k = 0; k < L; ++k) lines[k] = data + call.line_at(first + k0 + k);
            for (std::int64_t i0 = head; i0 < whole; i0 += L) {
                typename V::f32 r[L];
                if constexpr (kIn) {
                    for (int k = 0; k < L; ++k) r[k] = V::mul(V::load_unaligned(lines[k] + i0), g);
                    V::transpose(r);
                    for (int i = 0; i < L; ++i) V::store_unaligned(scratch + (i0 + i) * W + k0, r[i]);
                } else {
                    for (int i = 0; i < L; ++i) r[i] = V::load_unaligned(scratch + (i0 + i) * W + k0);
                    V::transpose(r);
                    for (int k = 0; k < L; ++k) V::store_unaligned(lines[k] + i0, r[k]);
                }
            }
            for (std::int64_t k = 0; k < L; ++k) {
                for (std::int64_t i = 0; i < head; ++i) one(lines[k][i], scratch[i * W + k0 + k]);
                for (std::int64_t i = whole; i < n; ++i) one(lines[k][i], scratch[i * W + k0 + k]);
            }
        }
    }
};

// dst = src converted (a line of one sample is left as it is, as scipy leaves it).
template <class S, class D>
void convert(const S* src, D* dst, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) dst[i] = static_cast<D>(static_cast<double>(src[i]));
}

// `units` units of work (panels or planes) of `call` in a few tasks per
// thread (`per_task` units each, set here), on as many threads as `samples`
// filtered samples (each line's, along each axis) are worth: a pole's two
// passes take one thread about a nanosecond a sample. The call's status.
template <class Call>
ResampleStatus run_units(Call& call, std::int64_t units, double samples, std::int64_t& per_task,
                         void (*task)(const void*, std::size_t) noexcept) {
    std::size_t threads = parallel::threads_for(samples * call.npoles * 1.0);
    threads = threads < parallel::size() ? threads : parallel::size();
    const std::int64_t want = static_cast<std::int64_t>(parallel::kMinTasksPerWorker * threads + 1);
    per_task = (units + want - 1) / want;
    const std::int64_t tasks = (units + per_task - 1) / per_task;
    if (parallel::for_each(static_cast<std::size_t>(tasks), task, &call, parallel::Caller::kWorks, threads) !=
        Status::kOk)
        return ResampleStatus::kPoolUnavailable;
    return call.no_memory != 0 ? ResampleStatus::kNoMemory : ResampleStatus::kOk;
}

inline void convert_all(const void* src, bool src_f32, void* dst, bool dst_f32, std::int64_t count) {
    if (src == dst && src_f32 == dst_f32) return;
    if (src_f32)
        dst_f32 ? convert(static_cast<const float*>(src), static_cast<float*>(dst), count)
                : convert(static_cast<const float*>(src), static_cast<double*>(dst), count);
    else
        dst_f32 ? convert(static_cast<const double*>(src), static_cast<float*>(dst), count)
                : convert(static_cast<const double*>(src), static_cast<double*>(dst), count);
}

// The last two axes of C-contiguous arrays of `planes` planes of ny x nx:
// along y from src into mid, then along x from mid into dst, plane by plane,
// so that a plane stays in the cache between the two instead of the array
// making two trips through memory. Every plane is independent of the others
// along both axes, so the values are those of the two axes filtered one after
// the other over the whole array.
struct PlanesCall {
    const void* src;
    void* mid;
    void* dst;
    bool src_f32, mid_f32, dst_f32;
    std::int64_t planes, ny, nx;
    std::int64_t plane_stride, row_stride;  // elements: ny * nx and nx, or a window's
    const MarginFill* fill;                 // a window's margins along y and x, or nullptr
    // The window's row or column each margin sample copies (margin_sources):
    // rows before, rows after, columns before, columns after.
    std::int64_t fill_from[4][kMaxMargin];
    std::int64_t planes_per_task;
    double poles[2];
    int npoles;
    Start start;
    mutable std::int32_t no_memory;
};

inline void* element_at(const void* p, bool f32, std::int64_t offset) {
    return const_cast<char*>(static_cast<const char*>(p)) + offset * (f32 ? 4 : 8);
}

template <class V>
struct PlanesTask {
    using Lines = FilterTask<V>;

    static void run(const void* ctx, std::size_t task) noexcept {
        const PlanesCall& call = *static_cast<const PlanesCall*>(ctx);
        const std::int64_t p0 = static_cast<std::int64_t>(task) * call.planes_per_task;
        const std::int64_t p1 = p0 + call.planes_per_task < call.planes ? p0 + call.planes_per_task : call.planes;
        bool ok = Lines::scratch_for(call.ny > call.nx ? call.ny : call.nx) != nullptr;
        for (std::int64_t plane = p0; ok && plane < p1; ++plane) {
            const std::int64_t offset = plane * call.plane_stride;
            void* mid = element_at(call.mid, call.mid_f32, offset);
            // Along y: the lines are the plane's columns; along x: its rows.
            const FilterCall along_y = line_call(element_at(call.src, call.src_f32, offset), call.src_f32, mid,
                                                 call.mid_f32, call.ny, call.row_stride, call.nx, 1, call);
            const FilterCall along_x = line_call(mid, call.mid_f32, element_at(call.dst, call.dst_f32, offset),
                                                 call.dst_f32, call.nx, 1, call.ny, call.row_stride, call);
            // An axis of one sample is copied as it is (see convert); a window
            // needs none (filter_planes).
            const std::int64_t size = call.ny * call.nx;
            if (call.ny < 2)
                convert_all(along_y.src, along_y.src_f32, along_y.dst, along_y.dst_f32, size);
            else
                ok = Lines::filter_panels(along_y, 0, panels(along_y));
            if (!ok) break;
            if (call.nx < 2)
                convert_all(along_x.src, along_x.src_f32, along_x.dst, along_x.dst_f32, size);
            else
                ok = Lines::filter_panels(along_x, 0, panels(along_x));
            if (ok && call.fill != nullptr) {
                if (call.dst_f32)
                    fill_margins(static_cast<float*>(element_at(call.dst, true, offset)), call);
                else
                    fill_margins(static_cast<double*>(element_at(call.dst, false, offset)), call);
            }
        }
        if (!ok) __atomic_store_n(&call.no_memory, 1, __ATOMIC_RELAXED);
        Lines::release_scratch();
    }

    // The margins of the plane at `base` (its first window element): each
    // row's along x, then whole rows (their margins included) along y.
    template <class E>
    static void fill_margins(E* base, const PlanesCall& call) {
        const MarginFill& f = *call.fill;
        const std::int64_t w = f.width, r = call.row_stride, nx = call.nx, ny = call.ny;
        const E value = static_cast<E>(f.value);
        const std::int64_t *rows_before = call.fill_from[0], *rows_after = call.fill_from[1];
        const std::int64_t *columns_before = call.fill_from[2], *columns_after = call.fill_from[3];
        for (std::int64_t y = 0; y < ny; ++y) {
            E* row = base + y * r;
            for (std::int64_t k = 0; k < w; ++k) {
                row[k - w] = f.constant ? value : row[columns_before[k]];
                row[nx + k] = f.constant ? value : row[columns_after[k]];
            }
        }
        const std::size_t whole = static_cast<std::size_t>(nx + 2 * w);
        for (std::int64_t k = 0; k < w; ++k) {
            E* before = base + (k - w) * r - w;
            E* after = base + (ny + k) * r - w;
            if (f.constant) {
                std::fill(before, before + whole, value);
                std::fill(after, after + whole, value);
            } else {
                std::memcpy(before, base + rows_before[k] * r - w, whole * sizeof(E));
                std::memcpy(after, base + rows_after[k] * r - w, whole * sizeof(E));
            }
        }
    }

    // `lines` lines of n elements `stride` apart, the lines `step` apart (one group).
    static FilterCall line_call(const void* src, bool src_f32, void* dst, bool dst_f32, std::int64_t n,
                                std::int64_t stride, std::int64_t lines, std::int64_t step, const PlanesCall& planes) {
        FilterCall c{};
        c.src = src;
        c.dst = dst;
        c.src_f32 = src_f32;
        c.dst_f32 = dst_f32;
        c.n = n;
        c.stride = stride;
        c.lines = lines;
        c.group_len = lines;
        c.group_stride = 0;
        c.member_step = step;
        c.poles[0] = planes.poles[0];
        c.poles[1] = planes.poles[1];
        c.npoles = planes.npoles;
        c.start = planes.start;
        return c;
    }

    static std::int64_t panels(const FilterCall& c) { return (c.lines + Lines::W - 1) / Lines::W; }
};

// Filters the lines along `axis` of the C-contiguous array `src` (binary32 or
// binary64) of `shape` into `dst` (binary32 or binary64): the same array, or
// one that does not overlap it. Lines of one sample are copied as they are,
// as scipy leaves them. With `window` (element strides, ndim 3): src and dst
// are one 3-D window of a larger array, filtered in place (a line of one
// sample is then left as it is).
template <class V>
ResampleStatus filter(const void* src, bool src_f32, void* dst, bool dst_f32, const std::int64_t* shape, int ndim,
                      int axis, int order, Mode mode, const std::int64_t* window = nullptr) noexcept {
    FilterCall call{};
    call.src = src;
    call.dst = dst;
    call.src_f32 = src_f32;
    call.dst_f32 = dst_f32;
    call.n = shape[axis];
    std::int64_t outer = 1, inner = 1;
    for (int a = 0; a < ndim; ++a) {
        if (a < axis) outer *= shape[a];
        if (a > axis) inner *= shape[a];
    }
    call.lines = outer * inner;
    if (window == nullptr) {
        call.set_contiguous(inner);
    } else {  // lines grouped by the first of the other two axes
        const int first = axis == 0 ? 1 : 0, second = axis == 2 ? 1 : 2;
        call.stride = window[axis];
        call.group_len = shape[second];
        call.group_stride = window[first];
        call.member_step = window[second];
    }
    call.npoles = get_filter_poles(order, call.poles);
    call.start = start_of(mode);
    if (call.n < 2 || call.lines == 0 || call.npoles == 0) {
        if (window == nullptr) convert_all(src, src_f32, dst, dst_f32, call.lines * call.n);
        return ResampleStatus::kOk;
    }
    constexpr std::int64_t W = FilterTask<V>::W;
    const std::int64_t batches = (call.lines + W - 1) / W;
    const double samples = static_cast<double>(call.lines) * static_cast<double>(call.n);
    return run_units(call, batches, samples, call.batches_per_task, &FilterTask<V>::run);  // a task: whole panels
}

// Filters the last two axes of C-contiguous arrays of `shape` (ndim >= 2):
// along ndim - 2 from `src` into `mid`, then along ndim - 1 from `mid` into
// `dst`, a plane at a time (see PlanesCall). Each pair is one array or two
// that do not overlap. With `window`: one 3-D window in place, as filter's.
template <class V>
ResampleStatus filter_planes(const void* src, bool src_f32, void* mid, bool mid_f32, void* dst, bool dst_f32,
                             const std::int64_t* shape, int ndim, int order, Mode mode,
                             const std::int64_t* window = nullptr, const MarginFill* fill = nullptr) noexcept {
    PlanesCall call{};
    call.src = src;
    call.mid = mid;
    call.dst = dst;
    call.src_f32 = src_f32;
    call.mid_f32 = mid_f32;
    call.dst_f32 = dst_f32;
    call.ny = shape[ndim - 2];
    call.nx = shape[ndim - 1];
    call.planes = 1;
    for (int a = 0; a < ndim - 2; ++a) call.planes *= shape[a];
    call.plane_stride = window != nullptr ? window[0] : call.ny * call.nx;
    call.row_stride = window != nullptr ? window[1] : call.nx;
    call.fill = window != nullptr ? fill : nullptr;
    if (call.fill != nullptr && !call.fill->constant) {
        resample::margin_sources(call.ny, call.fill->width, call.fill->mode, call.fill_from[0], call.fill_from[1]);
        resample::margin_sources(call.nx, call.fill->width, call.fill->mode, call.fill_from[2], call.fill_from[3]);
    }
    call.npoles = get_filter_poles(order, call.poles);
    call.start = start_of(mode);
    const std::int64_t count = call.planes * call.ny * call.nx;
    if (count == 0) return ResampleStatus::kOk;
    if (call.npoles == 0 || (call.ny < 2 && call.nx < 2)) {
        if (window != nullptr && call.fill != nullptr) {  // nothing to filter; the margins all the same
            for (std::int64_t p = 0; p < call.planes; ++p) {
                void* plane = element_at(dst, dst_f32, p * call.plane_stride);
                if (dst_f32)
                    PlanesTask<V>::fill_margins(static_cast<float*>(plane), call);
                else
                    PlanesTask<V>::fill_margins(static_cast<double*>(plane), call);
            }
        }
        if (window != nullptr) return ResampleStatus::kOk;
        convert_all(src, src_f32, mid, mid_f32, count);
        convert_all(mid, mid_f32, dst, dst_f32, count);
        return ResampleStatus::kOk;
    }
    return run_units(call, call.planes, 2.0 * static_cast<double>(count), call.planes_per_task,
                     &PlanesTask<V>::run);  // a task filters whole planes
}

}  // namespace zentrova::ZENTROVA_ISA::spline
