// One target's table (dispatch/targets.h) made from its lane types: every
// kernel of every element type, instantiated from the templates of this
// folder. Each target's folder includes this once, after its lane headers,
// with ZENTROVA_ISA naming its namespace, and names what it builds (TargetParts);
// what it leaves out is the target below's.
#pragma once

#include <type_traits>
#include <utility>

#include "core/box.h"
#include "core/lanes.h"
#include "core/margin.h"
#include "core/points.h"
#include "core/rows.h"
#include "core/spline_filter.h"
#include "dispatch/targets.h"

namespace zentrova::ZENTROVA_ISA::resample {

// The element type of each Element (bool has none: it is never an input).
template <Element> struct ElementOf { using type = void; };
template <> struct ElementOf<Element::kU8> { using type = U8; };
template <> struct ElementOf<Element::kI8> { using type = I8; };
template <> struct ElementOf<Element::kU16> { using type = U16; };
template <> struct ElementOf<Element::kI16> { using type = I16; };
template <> struct ElementOf<Element::kF16> { using type = F16; };
template <> struct ElementOf<Element::kF32> { using type = F32; };
template <> struct ElementOf<Element::kF64> { using type = F64; };
template <> struct ElementOf<Element::kI32> { using type = I32; };
template <> struct ElementOf<Element::kU32> { using type = U32; };
template <> struct ElementOf<Element::kI64> { using type = I64; };
template <> struct ElementOf<Element::kU64> { using type = U64; };
template <> struct ElementOf<Element::kBool> { using type = Bool; };

// What a target builds beyond the lowest's: the row kernels of the element
// types in `rows` (a bit per Element), and each of the other kinds or none.
struct TargetParts {
    unsigned rows = ~0u;
    bool points = true;      // the point kernels and their order 0 on binary64 coordinates
    bool casts = true;       // stores of computed values into every element type
    bool filter = true;      // the B-spline prefilter
    bool scalar_only = false;  // the kinds that need no lanes: the boxes, the binary64 rule's stores, the margins
};

inline constexpr unsigned kAllElements = ~0u;

constexpr unsigned elements(std::initializer_list<Element> list) {
    unsigned bits = 0;
    for (Element e : list) bits |= 1u << static_cast<int>(e);
    return bits;
}

// The table of lanes V32 (binary32) and V64 (binary64).
template <class V32, class V64>
struct TableOf {
    template <TargetParts kParts, Element kElement>
    static constexpr void fill(TargetTable& t) {
        using E = typename ElementOf<kElement>::type;
        constexpr int i = static_cast<int>(kElement);
        if constexpr (kElement == Element::kBool) {
            if constexpr (kParts.casts) t.cast_binary64[i] = store_from_binary64<Bool>;
        } else {
            constexpr bool narrow = std::is_same_v<typename E::compute, float>;
            using V = std::conditional_t<narrow, V32, V64>;
            if constexpr ((kParts.rows >> i & 1u) != 0) t.rows[i] = run_lanes<E, V>;
            if constexpr (kParts.points) {
                t.points[i] = run_points<E, V>;
                if constexpr (narrow) t.nearest_points[i] = run_points<Nearest64<E>, V64>;
            }
            if constexpr (kParts.casts) {
                if constexpr (narrow) {
                    t.cast_binary32[i] = store_values<E, V32>;
                    t.cast_binary64[i] = store_from_binary64<E>;
                } else {
                    t.cast_binary64[i] = store_values<E, V64>;
                }
            }
            if constexpr (narrow)
                if constexpr (kParts.scalar_only) t.cast_binary32_by_binary64_rule[i] = store_from_binary64<E, float>;
        }
    }

    template <TargetParts kParts, std::size_t... kIndex>
    static constexpr TargetTable make(const char* name, const char* (*lacks)() noexcept, std::index_sequence<kIndex...>) {
        TargetTable t{};
        t.name = name;
        t.lacks = lacks;
        (fill<kParts, static_cast<Element>(kIndex)>(t), ...);
        if constexpr (kParts.scalar_only) {
            t.box_binary32 = window_box<F32>;
            t.box_binary64 = window_box<F64>;
            t.fill_margin = fill_margin;
        }
        if constexpr (kParts.filter) {
            t.spline_filter = spline::filter<V64>;
            t.spline_planes = spline::filter_planes<V64>;
        }
        return t;
    }
};

template <class V32, class V64, TargetParts kParts = TargetParts{}>
constexpr TargetTable make_table(const char* name, const char* (*lacks)() noexcept) {
    static_assert(Lanes<V32, float> && Lanes<V64, double>, "a target's lane types meet the lane contract (core/lanes.h)");
    return TableOf<V32, V64>::template make<kParts>(name, lacks, std::make_index_sequence<kElementCount>{});
}

}  // namespace zentrova::ZENTROVA_ISA::resample
