// How many CPUs this process may run on: the affinity mask, limited by the CPU
// quota of its cgroup (v1 or v2, the smallest quota on the way to the root).
#pragma once

#include <cstddef>

namespace zentrova::platform {

// At least 1.
std::size_t usable_cpus() noexcept;

}  // namespace zentrova::platform
