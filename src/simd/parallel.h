// The process-wide worker pool and the plane-parallel loop every kernel runs on.
//
// The pool is created on first use and lives until the process ends. Its size is
// RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (when either holds a positive
// integer), else the number of CPUs the process may use (affinity mask, limited
// by a cgroup CPU quota). The caller of for_each hands every task to the
// workers and sleeps until the last one is done; it never computes one itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/view.h"

namespace zentrova::parallel {

// Planes a task covers at most: neighbouring planes sample neighbouring input,
// which one task then reads while it is still in cache.
inline constexpr std::uint64_t kMaxPlanesPerTask = 16;
// Tasks each worker should get at least, so that idle workers can take over work.
inline constexpr std::uint64_t kMinTasksPerWorker = 8;

// Computes one task: a run of whole output planes. `ctx` is the kernel's
// read-only parameter block.
using TaskFn = void (*)(const void* ctx, std::size_t task) noexcept;

// Calls fn(ctx, i) once for every i in [0, ntasks), each task on exactly one
// worker, tasks claimed dynamically so that idle workers take the remaining
// ones. Returns when every call has finished (their writes are then visible to
// the caller). kPoolUnavailable if no worker thread could be started.
Status for_each(std::size_t ntasks, TaskFn fn, const void* ctx) noexcept;

// Size of the global pool, creating it if needed; 0 if it could not be started.
std::size_t num_threads() noexcept;

}  // namespace zentrova::parallel
