// The resampling kernels, one per element type and instruction set.
//
// Each takes the input view, the output view (the input's shape, already filled
// with cval), the matrix as nine binary64 values in row-major order (row r gives
// the input coordinate along axis r of [z, y, x]), the offset [z, y, x] and cval,
// and fills every output voxel. A volume with a dimension below 2 is left as it
// is. The AVX-512 kernels may only be called when cpu::avx512f_usable() is true.
#pragma once

#include <cstdint>

#include "core/view.h"

namespace zentrova {

namespace avx2 {
Status trilinear_3d_f32_avx2(const View3<const float>& input, const View3<float>& output,
                             const double matrix[9], const double offset[3], double cval) noexcept;
Status trilinear_3d_u8_avx2(const View3<const std::uint8_t>& input, const View3<std::uint8_t>& output,
                            const double matrix[9], const double offset[3], std::uint8_t cval) noexcept;
Status trilinear_3d_f16_avx2(const View3<const std::uint16_t>& input, const View3<std::uint16_t>& output,
                             const double matrix[9], const double offset[3], double cval) noexcept;
// The binary16 pattern of cval (binary64 -> binary32 -> binary16, nearest even).
std::uint16_t cval_half(double cval) noexcept;
}  // namespace avx2

namespace avx512 {
Status trilinear_3d_f32_avx512(const View3<const float>& input, const View3<float>& output,
                               const double matrix[9], const double offset[3], double cval) noexcept;
Status trilinear_3d_f16_avx512(const View3<const std::uint16_t>& input, const View3<std::uint16_t>& output,
                               const double matrix[9], const double offset[3], double cval) noexcept;
}  // namespace avx512

}  // namespace zentrova
