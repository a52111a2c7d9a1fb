// The process-wide worker pool and the plane-parallel loop every kernel runs on.
//
// The pool lives in a shared library of its own (libzentrova_pool.so) that every
// extension module of the wheel links, so that a process has one pool however
// many of the modules it imports. It is created on first use and lives until
// the process ends. Its size is, in this order, the first of ZENTROVA_NUM_THREADS,
// RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS that holds a positive integer, else the
// number of CPUs the process may use (affinity mask, limited by a cgroup CPU
// quota); set_num_threads changes it at any time. Every size is clamped to
// kMaxThreadsPerCpu times the usable CPUs. The caller of for_each either hands
// every task to the workers and sleeps until the last one is done, computing
// none itself (Caller::kWaits, the fixed module's loop), or computes beside
// them and never waits for a worker that has not begun a task (Caller::kWorks,
// the resampler's).
//
// Only the declarations below marked ZENTROVA_POOL_API are exported from the
// library; everything else in it is hidden.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/view.h"

#define ZENTROVA_POOL_API __attribute__((visibility("default")))

namespace zentrova::parallel {

// Planes a task covers at most: neighbouring planes sample neighbouring input,
// which one task then reads while it is still in cache.
inline constexpr std::uint64_t kMaxPlanesPerTask = 16;
// Tasks each worker should get at least, so that idle workers can take over work.
inline constexpr std::uint64_t kMinTasksPerWorker = 8;
// A size above this many threads per usable CPU is clamped to it: more compute
// threads than that only contend for the same cores, and a mistyped size (say
// 1000000000) would otherwise start threads until the system refuses.
inline constexpr std::size_t kMaxThreadsPerCpu = 4;

// Computes one task: a run of whole output planes. `ctx` is the kernel's
// read-only parameter block.
using TaskFn = void (*)(const void* ctx, std::size_t task) noexcept;

// What the thread that calls for_each does while its job runs.
enum class Caller : int {
    // Hands every task to the workers and sleeps until the last one is done.
    kWaits,
    // Claims tasks beside the workers, and once none is left waits only for
    // the tasks that workers have begun: a worker the system has not run by
    // then gets none, and the job never waits for it. A pool of n threads is
    // the caller and n - 1 workers; a pool of one, a single task, or a pool
    // busy with another caller's job leaves every task to the caller alone.
    kWorks,
};

// Calls fn(ctx, i) once for every i in [0, ntasks), each task on exactly one
// thread, tasks claimed dynamically so that idle threads take the remaining
// ones. Returns when every call has finished (their writes are then visible to
// the caller). At most `max_threads` threads compute (the caller counted with
// kWorks): what the work is worth (threads_for). With kWaits, kPoolUnavailable
// if no worker thread could be started, and jobs of several callers run one
// after the other, each on the whole pool; with kWorks the caller then
// computes the tasks itself.
ZENTROVA_POOL_API Status for_each(std::size_t ntasks, TaskFn fn, const void* ctx, Caller caller = Caller::kWaits,
                                  std::size_t max_threads = SIZE_MAX) noexcept;

// Work of less than this many nanoseconds of one thread is not worth a second
// thread: a worker woken from its sleep takes tens of microseconds in a virtual
// machine before it computes, and a busy machine may not run it at all for a
// time slice. The caller alone then finishes before any help would arrive.
inline constexpr double kWorkPerThreadNs = 8'000.0;

// The threads worth giving a job of `work_ns` nanoseconds of one thread's work
// (for_each's max_threads): one per kWorkPerThreadNs, at least one.
inline std::size_t threads_for(double work_ns) noexcept {
    const double n = work_ns / kWorkPerThreadNs;
    return n < 1.0 ? 1 : (n > 1e9 ? SIZE_MAX : static_cast<std::size_t>(n));
}

// A function for call_when_idle.
using IdleFn = void (*)() noexcept;

// Asks for fn() to be called once, from a worker thread, when the pool has had
// no job for `after_ns` nanoseconds (counted from this call or the last job,
// whichever is later). Asking again for a function not yet called changes
// nothing but the delay. False (and fn is not called) when the pool does not
// exist yet, or too many different functions are waiting.
ZENTROVA_POOL_API bool call_when_idle(IdleFn fn, std::uint64_t after_ns) noexcept;

// Size of the global pool, creating it if needed; 0 if it could not be started.
ZENTROVA_POOL_API std::size_t num_threads() noexcept;

// The size a job runs on, without creating the pool: its size if it exists,
// else the size it will be created with.
ZENTROVA_POOL_API std::size_t size() noexcept;

// Sets the size (n clamped to [1, the cap]) and returns the previous one (as
// size() gave it). Waits for a running job. A larger size starts the missing
// threads at once (if the system refuses some, the pool keeps those it has); a
// smaller one leaves the surplus threads parked on a futex. Before the pool
// exists, only the size it will be created with changes.
ZENTROVA_POOL_API std::size_t set_size(std::size_t n) noexcept;

}  // namespace zentrova::parallel

// The same two operations with C names and types, for callers outside C++
// (threadpoolctl reaches them through ctypes).
extern "C" {
// The size, as zentrova::parallel::size().
ZENTROVA_POOL_API int zentrova_pool_get_num_threads(void) noexcept;
// Sets the size and returns the previous one; n < 1 changes nothing and gives -1.
ZENTROVA_POOL_API int zentrova_pool_set_num_threads(int n) noexcept;
}
