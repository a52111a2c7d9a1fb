// Which cast and point kernel each element type takes, for the lane types of
// one target: every target's table says the same, only its lanes differ.
//
// Included by each instruction-set file with ZENTROVA_ISA naming its namespace,
// after its lane types' header.
#pragma once

#include "core/rows.h"
#include "dispatch/targets.h"
#include "core/points.h"

namespace zentrova::ZENTROVA_ISA::resample {

// How binary32 values in lanes V are stored into an element type; nullptr for
// the types computed in binary64 and bool, which binary32 values never reach.
template <class V>
CastKernel binary32_cast(Element element) noexcept {
    switch (element) {
        case Element::kU8: return store_values<U8, V>;
        case Element::kI8: return store_values<I8, V>;
        case Element::kU16: return store_values<U16, V>;
        case Element::kI16: return store_values<I16, V>;
        case Element::kF16: return store_values<F16, V>;
        case Element::kF32: return store_values<F32, V>;
        default: return nullptr;
    }
}

// How binary32 values are stored into an element type of the binary32 family
// by the binary64 rule, one value at a time: an order-0 result (a sample, or
// cval as the output holds it) computed in binary32 for another output type,
// stored as scipy stores the sample. nullptr for the other types.
inline CastKernel binary32_cast_by_binary64_rule(Element element) noexcept {
    switch (element) {
        case Element::kU8: return store_from_binary64<U8, float>;
        case Element::kI8: return store_from_binary64<I8, float>;
        case Element::kU16: return store_from_binary64<U16, float>;
        case Element::kI16: return store_from_binary64<I16, float>;
        case Element::kF16: return store_from_binary64<F16, float>;
        case Element::kF32: return store_from_binary64<F32, float>;
        default: return nullptr;
    }
}

// How binary64 values in lanes V are stored into any element type: the binary64
// family in lanes, the others one value at a time.
template <class V>
CastKernel binary64_cast(Element element) noexcept {
    switch (element) {
        case Element::kF64: return store_values<F64, V>;
        case Element::kI32: return store_values<I32, V>;
        case Element::kU32: return store_values<U32, V>;
        case Element::kI64: return store_values<I64, V>;
        case Element::kU64: return store_values<U64, V>;
        case Element::kU8: return store_from_binary64<U8>;
        case Element::kI8: return store_from_binary64<I8>;
        case Element::kU16: return store_from_binary64<U16>;
        case Element::kI16: return store_from_binary64<I16>;
        case Element::kF16: return store_from_binary64<F16>;
        case Element::kF32: return store_from_binary64<F32>;
        case Element::kBool: return store_from_binary64<Bool>;
    }
    return nullptr;
}

// The point kernel of an element type computed in binary32 (lanes V), or
// nullptr for the others.
template <class V>
PointsKernel binary32_points(Element element) noexcept {
    switch (element) {
        case Element::kU8: return run_points<U8, V>;
        case Element::kI8: return run_points<I8, V>;
        case Element::kU16: return run_points<U16, V>;
        case Element::kI16: return run_points<I16, V>;
        case Element::kF16: return run_points<F16, V>;
        case Element::kF32: return run_points<F32, V>;
        default: return nullptr;
    }
}

// The point kernel of an element type computed in binary64 (lanes V), or
// nullptr for the others (bool included: it is never an input).
template <class V>
PointsKernel binary64_points(Element element) noexcept {
    switch (element) {
        case Element::kF64: return run_points<F64, V>;
        case Element::kI32: return run_points<I32, V>;
        case Element::kU32: return run_points<U32, V>;
        case Element::kI64: return run_points<I64, V>;
        case Element::kU64: return run_points<U64, V>;
        default: return nullptr;
    }
}

// Order 0 of an element type computed in binary32 at given points, with
// binary64 coordinates (Nearest64), in binary64 lanes V; nullptr for the
// others, whose order 0 is their own point kernel's.
template <class V>
PointsKernel nearest_points_binary64(Element element) noexcept {
    switch (element) {
        case Element::kU8: return run_points<Nearest64<U8>, V>;
        case Element::kI8: return run_points<Nearest64<I8>, V>;
        case Element::kU16: return run_points<Nearest64<U16>, V>;
        case Element::kI16: return run_points<Nearest64<I16>, V>;
        case Element::kF16: return run_points<Nearest64<F16>, V>;
        case Element::kF32: return run_points<Nearest64<F32>, V>;
        default: return nullptr;
    }
}

}  // namespace zentrova::ZENTROVA_ISA::resample
