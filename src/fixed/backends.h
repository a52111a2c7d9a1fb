// Which kernel runs each element type, chosen once per process from the
// processor's features. The transforms call through this table and build_info
// reports its names, so what runs and what is reported cannot drift apart.
#pragma once

#include <cstdint>

#include "core/view.h"

namespace zentrova {

template <class Raw, class Cval>
struct Backend {
    using Kernel = Status (*)(const View3<const Raw>& input, const View3<Raw>& output, const double matrix[9],
                              const double offset[3], Cval cval) noexcept;
    const char* name;  // "avx512" or "avx2"
    Kernel run;
};

struct Backends {
    Backend<float, double> f32;
    Backend<std::uint16_t, double> f16;  // binary16 bit patterns
    Backend<std::uint8_t, std::uint8_t> u8;
};

// The table for this processor; the first call detects, later calls return it.
const Backends& backends() noexcept;

}  // namespace zentrova
