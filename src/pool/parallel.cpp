// Worker pool behind for_each, built as libzentrova_pool.so. Compiled at the
// x86-64 baseline: the pool may be created by build_info() and must not need
// AVX itself.
//
// A job is posted as a ticket: its epoch and a number of seats, one per worker
// it needs (no more than it has tasks). A worker that sees a new epoch takes a
// seat if one is left, claims tasks until none remain, and leaves; the last one
// out tells the caller. A caller that computes too (Caller::kWorks) claims
// tasks like a worker; when none is left it closes the seats not yet taken and
// waits only for the workers seated by then: a worker that the system has not
// run yet never holds the job up. Waking a sleeping thread costs tens of microseconds in
// a virtual machine, about what a small volume takes to compute, so workers
// spin for a while after a job before they sleep (on a futex), and the caller
// spins briefly before it sleeps. Only as many sleepers are woken as there are
// seats.
//
// A caller may ask for a function to be called once the pool has had no job
// for a while (call_when_idle): worker 0 then sleeps with a timeout, and calls
// it from its own thread when the timeout passes with no job posted.
//
// Workers are numbered; those whose number is at least the pool's size (after
// set_size made it smaller) park on a futex of their own, so that they neither
// spin nor take the wakes meant for the workers of the current size. The size
// changes only between jobs (under `submit`), so a job's seats never exceed the
// workers that are not parked.
#include "pool/parallel.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "pool/cpu_count.h"

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

// futex_wait for at most `ns`; true when it returned because the time passed.
bool futex_wait_for(std::atomic<std::uint32_t>* word, std::uint32_t expected, std::uint64_t ns) {
    timespec timeout;
    timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000u);
    timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000u);
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr,
                   0) == -1 &&
           errno == ETIMEDOUT;
}

void futex_wake(std::atomic<std::uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

std::uint64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Tells the processor that this is a spin-wait loop: PAUSE on x86, YIELD on Arm.
inline void cpu_relax() {
#if defined(__x86_64__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ volatile("yield");
#endif
}

// Spins until done() holds or about `budget_ns` have passed; true if done() held.
template <class Done>
bool spin_until(Done done, std::uint64_t budget_ns) {
    const std::uint64_t deadline = now_ns() + budget_ns;
    while (true) {
        for (int i = 0; i < kPollsPerClockRead; ++i) {
            if (done()) return true;
            cpu_relax();
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

constexpr int kIdleSlots = 8;

struct Pool {
    std::size_t nthreads = 0;                  // workers started (only grows), under `submit`
    std::atomic<std::size_t> size{0};          // seats a job may have: min(size asked for, nthreads)
    std::atomic<Job*> job{nullptr};            // the current job, valid while it has seated workers
    std::atomic<std::uint64_t> ticket{0};      // (epoch << 32) | seats left
    std::atomic<std::uint32_t> bell{0};        // epoch of the newest job; sleeping workers wait on it
    std::atomic<std::uint32_t> sleepers{0};    // workers asleep on bell, or about to be
    std::atomic<std::uint32_t> active{0};      // seated workers not yet done; the caller waits on it
    std::atomic<std::uint32_t> caller_asleep{0};
    std::atomic<std::uint32_t> resized{0};     // counts changes of size; parked workers wait on it
    std::uint32_t epoch = 0;                   // the caller's count of jobs, under `submit`
    // Functions to call once the pool is idle (call_when_idle), and after how long.
    std::atomic<IdleFn> idle_calls[kIdleSlots] = {};
    std::atomic<std::uint64_t> idle_after_ns{0};  // 0: none asked for
    pthread_mutex_t submit = PTHREAD_MUTEX_INITIALIZER;  // one job or one change of size at a time
};

struct WorkerStart {
    Pool* pool;
    std::size_t index;   // the worker's number: it works while index < pool->size
    std::uint32_t seen;  // the epoch of the last job posted before it started
};

// Calls the functions asked for by call_when_idle, each once; those asked for
// again meanwhile wait for the next idle time.
void run_idle_calls(Pool* pool) {
    pool->idle_after_ns.store(0, std::memory_order_seq_cst);
    for (std::atomic<IdleFn>& slot : pool->idle_calls)
        if (const IdleFn fn = slot.exchange(nullptr, std::memory_order_acq_rel)) fn();
}

// The ticket of a job newer than `seen`. Spins first when the worker has just
// worked (the next job of a caller in a loop is usually close behind).
std::uint64_t wait_for_job(Pool* pool, std::size_t index, std::uint32_t seen, bool spin) {
    std::uint64_t t = pool->ticket.load(std::memory_order_acquire);
    if (epoch_of(t) != seen) return t;
    if (spin && spin_until(
                    [&] {
                        return epoch_of(t = pool->ticket.load(std::memory_order_acquire)) != seen ||
                               index >= pool->size.load(std::memory_order_relaxed);
                    },
                    kWorkerSpinNs) &&
        epoch_of(t) != seen)
        return t;
    while (true) {
        // Beyond the size: parked until a change of size. The count is read
        // before the size; set_size stores the size before it counts, so a
        // change after the look at the size makes the wait return at once.
        const std::uint32_t resized = pool->resized.load(std::memory_order_seq_cst);
        if (index >= pool->size.load(std::memory_order_seq_cst)) {
            futex_wait(&pool->resized, resized);
            continue;
        }
        // Announce the sleep before the last look: the caller posts the ticket
        // before it counts sleepers, so one of the two sees the other.
        pool->sleepers.fetch_add(1, std::memory_order_seq_cst);
        bool idle = false;
        if (epoch_of(pool->ticket.load(std::memory_order_seq_cst)) == seen) {
            const std::uint64_t after = index == 0 ? pool->idle_after_ns.load(std::memory_order_acquire) : 0;
            if (after != 0)
                idle = futex_wait_for(&pool->bell, seen, after);
            else
                futex_wait(&pool->bell, seen);
        }
        pool->sleepers.fetch_sub(1, std::memory_order_relaxed);
        if (idle && epoch_of(pool->ticket.load(std::memory_order_acquire)) == seen) run_idle_calls(pool);
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
    const WorkerStart start = *static_cast<WorkerStart*>(arg);
    delete static_cast<WorkerStart*>(arg);
    Pool* pool = start.pool;
    std::uint32_t seen = start.seen;
    bool worked = false;
    while (true) {
        // Spins only while within the size: a parked worker never does.
        const std::uint64_t t =
            wait_for_job(pool, start.index, seen, worked && start.index < pool->size.load(std::memory_order_relaxed));
        seen = epoch_of(t);
        // A worker beyond the size that sees a job anyway (one posted just
        // after the size shrank, before the worker went to park) takes a seat
        // like any other: the seats are no more than the size, so no more
        // threads work at once.
        worked = false;
        if (!take_seat(pool, t)) continue;
        // A seat keeps the job alive: the caller waits for every seated worker.
        Job* job = pool->job.load(std::memory_order_relaxed);
        // Tasks claimed one at a time: a worker that is done early keeps taking
        // tasks instead of waiting for a fixed share. Only a worker that got
        // some spins for the next job: one that came too late for any (the
        // caller took them) would only take the processor from others.
        while (true) {
            const std::size_t i = job->next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job->ntasks) break;
            job->fn(job->ctx, i);
            worked = true;
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

// n within [1, kMaxThreadsPerCpu * usable CPUs].
std::size_t capped(std::size_t n) {
    const std::size_t cap = kMaxThreadsPerCpu * platform::usable_cpus();
    return n < 1 ? 1 : (n > cap ? cap : n);
}

// The size from the environment. The project's own variable comes first; the
// other two keep the names that thread pools of this kind have long read, so
// that scripts and batch systems that already set them size this pool too.
std::size_t default_size() {
    if (const std::size_t n = positive_env("ZENTROVA_NUM_THREADS")) return capped(n);
    if (const std::size_t n = positive_env("RAYON_NUM_THREADS")) return capped(n);
    if (const std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return capped(n);
    return capped(platform::usable_cpus());
}

// Starts workers until the pool has `want` (or the system refuses one); under
// `submit` once the pool is shared.
void start_workers(Pool* pool, std::size_t want) {
    // Workers never handle signals: the interpreter expects them on its own threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    while (pool->nthreads < want) {
        WorkerStart* start = new (std::nothrow) WorkerStart{pool, pool->nthreads, pool->epoch};
        if (start == nullptr) break;
        pthread_t tid;
        if (pthread_create(&tid, nullptr, worker_main, start) != 0) {
            delete start;
            break;
        }
        pthread_detach(tid);
        ++pool->nthreads;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// A pool with at least one worker, or nullptr when none could be started (the
// caller then tries again on its next call, when the limit may have gone).
Pool* create_pool(std::size_t want) {
    Pool* pool = new (std::nothrow) Pool;
    if (pool == nullptr) return nullptr;
    // Set before the workers start: worker i works while i < size.
    pool->size.store(want, std::memory_order_relaxed);
    start_workers(pool, want);
    if (pool->nthreads == 0) {  // no thread can see it
        delete pool;
        return nullptr;
    }
    pool->size.store(pool->nthreads < want ? pool->nthreads : want, std::memory_order_relaxed);
    return pool;
}

// g_create_mu guards the creation of the pool and the size asked for; a
// change of size takes it, then the pool's `submit`. for_each takes only
// `submit` (and g_create_mu, alone, while it creates the pool).
pthread_mutex_t g_create_mu = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Pool*> g_pool{nullptr};
// The size asked for (by the environment or set_size), capped; 0 until it is
// first needed. Kept in the child of a fork.
std::atomic<std::size_t> g_asked{0};

// The child of a fork has none of the parent's worker threads, and the pool's
// locks may have been copied in a held state. The old pool is abandoned (not
// freed: its state is unknown) and the child builds a fresh one on first use,
// of the size last asked for.
void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_create_mu = PTHREAD_MUTEX_INITIALIZER;
}
// Registered when the library is loaded, so that a fork while another thread
// holds g_create_mu (creating the pool, or setting its size before it exists)
// leaves the child a usable lock.
[[maybe_unused]] const bool g_atfork_registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;

// The size asked for, read from the environment the first time; under g_create_mu.
std::size_t asked_locked() {
    std::size_t n = g_asked.load(std::memory_order_relaxed);
    if (n == 0) {
        n = default_size();
        g_asked.store(n, std::memory_order_relaxed);
    }
    return n;
}

Pool* global_pool() {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    if (pool != nullptr) return pool;
    pthread_mutex_lock(&g_create_mu);
    pool = g_pool.load(std::memory_order_relaxed);
    if (pool == nullptr) {
        pool = create_pool(asked_locked());
        g_pool.store(pool, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_create_mu);
    return pool;
}

}  // namespace

namespace {

// Posts `job` with `seats` seats (under `submit`) and wakes as many sleepers;
// returns its epoch.
std::uint32_t post(Pool* pool, Job* job, std::uint32_t seats) {
    const std::uint32_t epoch = ++pool->epoch;
    pool->job.store(job, std::memory_order_relaxed);
    pool->active.store(seats, std::memory_order_relaxed);
    pool->ticket.store((static_cast<std::uint64_t>(epoch) << 32) | seats, std::memory_order_seq_cst);
    pool->bell.store(epoch, std::memory_order_seq_cst);
    if (pool->sleepers.load(std::memory_order_seq_cst) != 0) futex_wake(&pool->bell, static_cast<int>(seats));
    return epoch;
}

// Waits until every seated worker has left the job (under `submit`); nobody
// touches the job after that.
void wait_for_seated(Pool* pool) {
    if (!spin_until([&] { return pool->active.load(std::memory_order_acquire) == 0; }, kCallerSpinNs)) {
        pool->caller_asleep.store(1, std::memory_order_seq_cst);
        for (std::uint32_t a; (a = pool->active.load(std::memory_order_seq_cst)) != 0;) futex_wait(&pool->active, a);
        pool->caller_asleep.store(0, std::memory_order_relaxed);
    }
    pool->job.store(nullptr, std::memory_order_relaxed);
}

void run_here(std::size_t ntasks, TaskFn fn, const void* ctx) {
    for (std::size_t i = 0; i < ntasks; ++i) fn(ctx, i);
}

Status run_waiting(std::size_t ntasks, TaskFn fn, const void* ctx, std::size_t max_threads) {
    Pool* pool = global_pool();
    if (pool == nullptr) return Status::kPoolUnavailable;
    Job job;
    job.fn = fn;
    job.ctx = ctx;
    job.ntasks = ntasks;
    pthread_mutex_lock(&pool->submit);
    std::size_t seats = pool->size.load(std::memory_order_relaxed);
    seats = seats < ntasks ? seats : ntasks;
    seats = seats < max_threads ? seats : (max_threads < 1 ? 1 : max_threads);
    post(pool, &job, static_cast<std::uint32_t>(seats));
    // Every seat is taken by some worker: each worker below the size looks at
    // every new ticket unless it sleeps on the bell, and `seats` sleepers of
    // the bell were woken. Each seated worker leaves `active`.
    wait_for_seated(pool);
    pthread_mutex_unlock(&pool->submit);
    return Status::kOk;
}

// Whether the processors are crowded, as the calling thread has found them:
// of the time it wanted to run in the last while, the share it spent waiting
// for a processor (the kernel's schedstat: time on a processor, time waiting
// in the run queue). On a machine taken by other processes (or by other
// callers' pools) a worker only competes with its caller for the same
// processors: every wake-up and every wait for a preempted worker is then lost
// time, and the caller alone is faster. Looked at every kCrowdCheckNs per
// thread (three system calls); with hysteresis, so that it does not flip with
// every look. False where the kernel does not tell.
constexpr std::uint64_t kCrowdCheckNs = 20'000'000;
constexpr double kCrowdedAbove = 0.3, kUncrowdedBelow = 0.15;

bool read_schedstat(std::uint64_t* on_cpu, std::uint64_t* waiting) {
    const int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[96];
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    char* end = nullptr;
    *on_cpu = std::strtoull(buf, &end, 10);
    if (end == buf) return false;
    const char* rest = end;
    *waiting = std::strtoull(rest, &end, 10);
    return end != rest;
}

bool crowded() {
    thread_local std::uint64_t next_look = 0, last_cpu = 0, last_wait = 0;
    thread_local bool state = false, known = false;
    const std::uint64_t now = now_ns();
    if (now < next_look) return state;
    next_look = now + kCrowdCheckNs;
    std::uint64_t cpu = 0, wait = 0;
    if (!read_schedstat(&cpu, &wait)) return state = false;
    const std::uint64_t d_cpu = cpu - last_cpu, d_wait = wait - last_wait;
    last_cpu = cpu;
    last_wait = wait;
    if (!known) {  // the first look only starts the count
        known = true;
        return state;
    }
    if (d_cpu + d_wait == 0) return state;
    const double share = static_cast<double>(d_wait) / static_cast<double>(d_cpu + d_wait);
    state = state ? share > kUncrowdedBelow : share > kCrowdedAbove;
    return state;
}

Status run_working(std::size_t ntasks, TaskFn fn, const void* ctx, std::size_t max_threads) {
    // The threads that compute, the caller's included; the pool is not even
    // made for a job that the caller does alone.
    std::size_t threads = size();
    threads = threads < ntasks ? threads : ntasks;
    threads = threads < max_threads ? threads : max_threads;
    if (threads > 1 && crowded()) threads = 1;
    Pool* pool = threads > 1 ? global_pool() : nullptr;
    // A pool busy with another caller's job: this caller computes its own
    // rather than wait for that job to end.
    if (pool == nullptr || pthread_mutex_trylock(&pool->submit) != 0) {
        run_here(ntasks, fn, ctx);
        return Status::kOk;
    }
    Job job;
    job.fn = fn;
    job.ctx = ctx;
    job.ntasks = ntasks;
    const std::size_t size = pool->size.load(std::memory_order_relaxed);  // may have changed since
    std::size_t helpers = threads - 1 < size - 1 ? threads - 1 : size - 1;
    const std::uint32_t epoch = post(pool, &job, static_cast<std::uint32_t>(helpers));
    for (std::size_t i; (i = job.next.fetch_add(1, std::memory_order_relaxed)) < ntasks;) fn(ctx, i);
    // No task left: the seats not taken yet are closed, so that a late worker
    // takes none, and only the workers that did take one are waited for (those
    // still in a task they claimed, or about to find none left).
    const std::uint64_t left = pool->ticket.exchange(static_cast<std::uint64_t>(epoch) << 32, std::memory_order_acq_rel);
    if (seats_of(left) != 0) pool->active.fetch_sub(seats_of(left), std::memory_order_seq_cst);
    wait_for_seated(pool);
    pthread_mutex_unlock(&pool->submit);
    return Status::kOk;
}

}  // namespace

Status for_each(std::size_t ntasks, TaskFn fn, const void* ctx, Caller caller, std::size_t max_threads) noexcept {
    if (ntasks == 0) return Status::kOk;
    return caller == Caller::kWorks ? run_working(ntasks, fn, ctx, max_threads)
                                    : run_waiting(ntasks, fn, ctx, max_threads);
}

bool call_when_idle(IdleFn fn, std::uint64_t after_ns) noexcept {
    Pool* pool = g_pool.load(std::memory_order_acquire);
    if (pool == nullptr || fn == nullptr || after_ns == 0) return false;
    bool queued = false;
    for (std::atomic<IdleFn>& slot : pool->idle_calls) {
        IdleFn seen = nullptr;
        if (slot.compare_exchange_strong(seen, fn, std::memory_order_acq_rel) || seen == fn) {
            queued = true;
            break;
        }
    }
    if (!queued) return false;
    pool->idle_after_ns.store(after_ns, std::memory_order_seq_cst);
    // Worker 0 may be asleep without a timeout: woken, it sleeps again with one
    // (the others go back to sleep). The timeout starts again from here.
    futex_wake(&pool->bell, INT_MAX);
    return true;
}

std::size_t num_threads() noexcept {
    Pool* pool = global_pool();
    return pool == nullptr ? 0 : pool->size.load(std::memory_order_relaxed);
}

std::size_t size() noexcept {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool->size.load(std::memory_order_relaxed);
    pthread_mutex_lock(&g_create_mu);
    Pool* pool = g_pool.load(std::memory_order_relaxed);
    const std::size_t n = pool != nullptr ? pool->size.load(std::memory_order_relaxed) : asked_locked();
    pthread_mutex_unlock(&g_create_mu);
    return n;
}

std::size_t set_size(std::size_t n) noexcept {
    n = capped(n);
    pthread_mutex_lock(&g_create_mu);
    Pool* pool = g_pool.load(std::memory_order_relaxed);
    std::size_t previous = asked_locked();
    g_asked.store(n, std::memory_order_relaxed);
    if (pool != nullptr) {
        pthread_mutex_lock(&pool->submit);  // no job runs from here on
        previous = pool->size.load(std::memory_order_relaxed);
        if (n > pool->nthreads) start_workers(pool, n);
        const std::size_t now = n < pool->nthreads ? n : pool->nthreads;
        pool->size.store(now, std::memory_order_seq_cst);
        // Unparks the workers below a larger size (the others look at the new
        // size and park again).
        pool->resized.fetch_add(1, std::memory_order_seq_cst);
        futex_wake(&pool->resized, INT_MAX);
        if (now < previous) {
            // A job of no seats: every worker sees a new epoch, including one
            // that looked at the old size just before and is about to wait on
            // the bell (its wait then returns at once), and those beyond the
            // size go to park instead of sleeping on the bell.
            const std::uint32_t epoch = ++pool->epoch;
            pool->ticket.store(static_cast<std::uint64_t>(epoch) << 32, std::memory_order_seq_cst);
            pool->bell.store(epoch, std::memory_order_seq_cst);
            futex_wake(&pool->bell, INT_MAX);
        }
        pthread_mutex_unlock(&pool->submit);
    }
    pthread_mutex_unlock(&g_create_mu);
    return previous;
}

}  // namespace zentrova::parallel

extern "C" int zentrova_pool_get_num_threads(void) noexcept {
    const std::size_t n = zentrova::parallel::size();
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

extern "C" int zentrova_pool_set_num_threads(int n) noexcept {
    if (n < 1) return -1;
    const std::size_t previous = zentrova::parallel::set_size(static_cast<std::size_t>(n));
    return previous > INT_MAX ? INT_MAX : static_cast<int>(previous);
}
