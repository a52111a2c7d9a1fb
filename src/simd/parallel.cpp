// Worker pool behind for_each. Compiled at the x86-64 baseline: the pool
// may be created by build_info() and must not need AVX itself.
//
// A job is posted as a ticket: its epoch and a number of seats, one per worker
// it needs (no more than it has tasks). A worker that sees a new epoch takes a
// seat if one is left, claims tasks until none remain, and leaves; the last one
// out tells the caller. Waking a sleeping thread costs tens of microseconds in
// a virtual machine, about what a small volume takes to compute, so workers
// spin for a while after a job before they sleep (on a futex), and the caller
// spins briefly before it sleeps. Only as many sleepers are woken as there are
// seats.
#include "simd/parallel.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "platform/cpu_count.h"

namespace zentrova::parallel {
namespace {

// How long a worker that has just finished a job keeps looking for the next
// one before it sleeps, and how long the caller looks for the end of its job
// before it sleeps. Spinning workers hand their core over (sched_yield) to any
// other thread that wants it, the caller's Python thread above all.
constexpr std::uint64_t kWorkerSpinNs = 200'000;
constexpr std::uint64_t kCallerSpinNs = 50'000;
// Loads between two looks at the clock.
constexpr int kPollsPerClockRead = 32;

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "futex words are plain 32-bit integers");

void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
    // Returns at once when *word != expected; spurious returns are fine, every
    // caller looks again.
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

std::uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Spins until done() holds or about `budget_ns` have passed; true if done() held.
template <class Done>
bool spin_until(Done done, std::uint64_t budget_ns) {
    const std::uint64_t deadline = now_ns() + budget_ns;
    while (true) {
        for (int i = 0; i < kPollsPerClockRead; ++i) {
            if (done()) return true;
            __builtin_ia32_pause();
        }
        if (now_ns() > deadline) return done();
        sched_yield();
    }
}

struct Job {
    TaskFn fn;
    const void* ctx;
    std::size_t ntasks;
    std::atomic<std::size_t> next{0};
};

constexpr std::uint32_t epoch_of(std::uint64_t ticket) { return static_cast<std::uint32_t>(ticket >> 32); }
constexpr std::uint32_t seats_of(std::uint64_t ticket) { return static_cast<std::uint32_t>(ticket); }

struct Pool {
    std::size_t nthreads = 0;                  // workers that started
    std::atomic<Job*> job{nullptr};            // the current job, valid while it has seated workers
    std::atomic<std::uint64_t> ticket{0};      // (epoch << 32) | seats left
    std::atomic<std::uint32_t> bell{0};        // epoch of the newest job; sleeping workers wait on it
    std::atomic<std::uint32_t> sleepers{0};    // workers asleep on bell, or about to be
    std::atomic<std::uint32_t> active{0};      // seated workers not yet done; the caller waits on it
    std::atomic<std::uint32_t> caller_asleep{0};
    std::uint32_t epoch = 0;                   // the caller's count of jobs, under `submit`
    pthread_mutex_t submit = PTHREAD_MUTEX_INITIALIZER;  // one job at a time
};

// The ticket of a job newer than `seen`. Spins first when the worker has just
// worked (the next job of a caller in a loop is usually close behind).
std::uint64_t wait_for_job(Pool* pool, std::uint32_t seen, bool spin) {
    std::uint64_t t = pool->ticket.load(std::memory_order_acquire);
    if (epoch_of(t) != seen) return t;
    if (spin && spin_until([&] { return epoch_of(t = pool->ticket.load(std::memory_order_acquire)) != seen; },
                           kWorkerSpinNs))
        return t;
    while (true) {
        // Announce the sleep before the last look: the caller posts the ticket
        // before it counts sleepers, so one of the two sees the other.
        pool->sleepers.fetch_add(1, std::memory_order_seq_cst);
        if (epoch_of(pool->ticket.load(std::memory_order_seq_cst)) == seen) futex_wait(&pool->bell, seen);
        pool->sleepers.fetch_sub(1, std::memory_order_relaxed);
        t = pool->ticket.load(std::memory_order_acquire);
        if (epoch_of(t) != seen) return t;
    }
}

// Takes one seat of the job of ticket t; false when its seats are gone or a
// newer job has been posted meanwhile.
bool take_seat(Pool* pool, std::uint64_t t) {
    const std::uint32_t epoch = epoch_of(t);
    while (seats_of(t) > 0) {
        if (pool->ticket.compare_exchange_weak(t, t - 1, std::memory_order_acq_rel, std::memory_order_acquire))
            return true;
        if (epoch_of(t) != epoch) return false;
    }
    return false;
}

void* worker_main(void* arg) {
    Pool* pool = static_cast<Pool*>(arg);
    std::uint32_t seen = 0;
    bool worked = false;
    while (true) {
        const std::uint64_t t = wait_for_job(pool, seen, worked);
        seen = epoch_of(t);
        worked = take_seat(pool, t);
        if (!worked) continue;
        // A seat keeps the job alive: the caller waits for every seated worker.
        Job* job = pool->job.load(std::memory_order_relaxed);
        // Tasks claimed one at a time: a worker that is done early keeps taking
        // tasks instead of waiting for a fixed share.
        while (true) {
            const std::size_t i = job->next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job->ntasks) break;
            job->fn(job->ctx, i);
        }
        // The job is not touched after this; the pool outlives it.
        if (pool->active.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
            pool->caller_asleep.load(std::memory_order_seq_cst) != 0)
            futex_wake(&pool->active, 1);
    }
    return nullptr;
}

// Parses a positive decimal integer; anything else (unset, empty, 0, junk,
// overflow) means "not set", and the next source of the size is tried.
std::size_t positive_env(const char* name) {
    const char* s = std::getenv(name);
    if (s == nullptr || *s == '\0') return 0;
    if (*s == '+') ++s;
    std::size_t v = 0;
    for (const char* p = s; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        const std::size_t digit = static_cast<std::size_t>(*p - '0');
        if (v > (SIZE_MAX - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    return v;
}

// The pool's size. The two variables keep the names that thread pools of this
// kind have long read, so that scripts and batch systems that already set them
// size this pool too.
std::size_t default_size() {
    if (const std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
    if (const std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
    return platform::usable_cpus();
}

// A pool with at least one worker, or nullptr when none could be started (the
// caller then tries again on its next call, when the limit may have gone).
Pool* create_pool() {
    Pool* pool = new (std::nothrow) Pool;
    if (pool == nullptr) return nullptr;
    const std::size_t want = default_size();

    // Workers never handle signals: the interpreter expects them on its own threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    for (std::size_t i = 0; i < want; ++i) {
        pthread_t tid;
        if (pthread_create(&tid, nullptr, worker_main, pool) != 0) break;
        pthread_detach(tid);
        ++pool->nthreads;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pool->nthreads == 0) {  // no thread can see it
        delete pool;
        return nullptr;
    }
    return pool;
}

pthread_mutex_t g_create_mu = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Pool*> g_pool{nullptr};

// The child of a fork has none of the parent's worker threads, and the pool's
// locks may have been copied in a held state. The old pool is abandoned (not
// freed: its state is unknown) and the child builds a fresh one on first use.
void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_create_mu = PTHREAD_MUTEX_INITIALIZER;
}

Pool* global_pool() {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    if (pool != nullptr) return pool;
    pthread_mutex_lock(&g_create_mu);
    pool = g_pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        static const bool registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
        (void)registered;
        pool = create_pool();
        g_pool.store(pool, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_create_mu);
    return pool;
}

}  // namespace

Status for_each(std::size_t ntasks, TaskFn fn, const void* ctx) noexcept {
    if (ntasks == 0) return Status::kOk;
    Pool* pool = global_pool();
    if (pool == nullptr) return Status::kPoolUnavailable;

    Job job;
    job.fn = fn;
    job.ctx = ctx;
    job.ntasks = ntasks;
    const std::uint32_t seats = static_cast<std::uint32_t>(ntasks < pool->nthreads ? ntasks : pool->nthreads);

    pthread_mutex_lock(&pool->submit);
    const std::uint32_t epoch = ++pool->epoch;
    pool->job.store(&job, std::memory_order_relaxed);
    pool->active.store(seats, std::memory_order_relaxed);
    pool->ticket.store((static_cast<std::uint64_t>(epoch) << 32) | seats, std::memory_order_seq_cst);
    pool->bell.store(epoch, std::memory_order_seq_cst);
    if (pool->sleepers.load(std::memory_order_seq_cst) != 0) futex_wake(&pool->bell, static_cast<int>(seats));

    // Every seat is taken by some worker (each one looks at every new ticket
    // unless it sleeps, and `seats` sleepers were woken), and each seated
    // worker leaves `active`; once it is 0 nobody touches `job` any more.
    if (!spin_until([&] { return pool->active.load(std::memory_order_acquire) == 0; }, kCallerSpinNs)) {
        pool->caller_asleep.store(1, std::memory_order_seq_cst);
        for (std::uint32_t a; (a = pool->active.load(std::memory_order_seq_cst)) != 0;) futex_wait(&pool->active, a);
        pool->caller_asleep.store(0, std::memory_order_relaxed);
    }
    pool->job.store(nullptr, std::memory_order_relaxed);
    pthread_mutex_unlock(&pool->submit);
    return Status::kOk;
}

std::size_t num_threads() noexcept {
    Pool* pool = global_pool();
    return pool == nullptr ? 0 : pool->nthreads;
}

}  // namespace zentrova::parallel
