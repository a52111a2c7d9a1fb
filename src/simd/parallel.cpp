// Worker pool behind for_each. Compiled at the x86-64 baseline: the pool
// may be created by build_info() and must not need AVX itself.
#include "simd/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zentrova::parallel {
namespace {

struct Job {
    TaskFn fn;
    const void* ctx;
    std::size_t ntasks;
    std::atomic<std::size_t> next{0};
};

struct Pool {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake = PTHREAD_COND_INITIALIZER;   // a new job was posted
    pthread_cond_t done = PTHREAD_COND_INITIALIZER;   // the last worker left a job
    pthread_mutex_t submit = PTHREAD_MUTEX_INITIALIZER;  // one job at a time
    std::size_t nthreads = 0;       // workers that started
    std::uint64_t generation = 0;   // bumped for every job
    Job* job = nullptr;
    std::size_t finished = 0;       // workers done with the current job
};

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

bool read_long(const std::string& path, long long* out) {
    FILE* f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return false;
    const bool ok = std::fscanf(f, "%lld", out) == 1;
    std::fclose(f);
    return ok;
}

// cgroup v2: "max 100000" or "<quota> <period>".
std::size_t quota_v2(const std::string& dir) {
    FILE* f = std::fopen((dir + "/cpu.max").c_str(), "re");
    if (f == nullptr) return 0;
    char quota[32] = {0};
    long long period = 0;
    std::size_t cpus = 0;
    if (std::fscanf(f, "%31s %lld", quota, &period) == 2 && std::strcmp(quota, "max") != 0 && period > 0) {
        const long long q = std::atoll(quota);
        if (q > 0) cpus = static_cast<std::size_t>(q / period > 0 ? q / period : 1);
    }
    std::fclose(f);
    return cpus;
}

std::size_t quota_v1(const std::string& dir) {
    long long quota = -1, period = 0;
    if (!read_long(dir + "/cpu.cfs_quota_us", &quota) || !read_long(dir + "/cpu.cfs_period_us", &period)) return 0;
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<std::size_t>(quota / period > 0 ? quota / period : 1);
}

// The smallest quota on the way from the process's cgroup up to the root of the
// hierarchy, or 0 when there is none.
std::size_t walk_up(std::string base, std::string rel, std::size_t (*quota)(const std::string&)) {
    std::size_t best = 0;
    while (true) {
        const std::size_t q = quota(base + rel);
        if (q > 0 && (best == 0 || q < best)) best = q;
        if (rel.empty() || rel == "/") break;
        const std::size_t slash = rel.find_last_of('/');
        rel = (slash == std::string::npos) ? std::string() : rel.substr(0, slash);
    }
    return best;
}

// Mount point and root of the cgroup hierarchy whose filesystem matches
// (v2: type cgroup2; v1: type cgroup with the cpu controller).
bool find_mount(bool v2, std::string* mount_point, std::string* mount_root) {
    FILE* f = std::fopen("/proc/self/mountinfo", "re");
    if (f == nullptr) return false;
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        char root[1024], point[1024];
        if (std::sscanf(line, "%*s %*s %*s %1023s %1023s", root, point) != 2) continue;
        const char* sep = std::strstr(line, " - ");
        if (sep == nullptr) continue;
        char fstype[64], source[1024], opts[1024] = {0};
        if (std::sscanf(sep + 3, "%63s %1023s %1023s", fstype, source, opts) < 2) continue;
        if (v2) {
            found = std::strcmp(fstype, "cgroup2") == 0;
        } else if (std::strcmp(fstype, "cgroup") == 0) {
            for (char* tok = std::strtok(opts, ","); tok != nullptr; tok = std::strtok(nullptr, ","))
                if (std::strcmp(tok, "cpu") == 0) found = true;
        }
        if (found) {
            *mount_point = point;
            *mount_root = root;
        }
    }
    std::fclose(f);
    return found;
}

std::size_t cgroup_quota() {
    FILE* f = std::fopen("/proc/self/cgroup", "re");
    if (f == nullptr) return 0;
    char line[4096];
    std::string v1_path, v2_path;
    bool have_v1 = false, have_v2 = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        char* c1 = std::strchr(line, ':');
        char* c2 = c1 ? std::strchr(c1 + 1, ':') : nullptr;
        if (c2 == nullptr) continue;
        *c1 = '\0';
        *c2 = '\0';
        const std::string controllers(c1 + 1), path(c2 + 1);
        if (std::strcmp(line, "0") == 0 && controllers.empty()) {
            v2_path = path;
            have_v2 = true;
            continue;
        }
        std::string list = "," + controllers + ",";
        if (list.find(",cpu,") != std::string::npos) {
            v1_path = path;
            have_v1 = true;
        }
    }
    std::fclose(f);
    std::string point, root;
    if (have_v1 && find_mount(false, &point, &root)) {
        std::string rel = v1_path;
        if (root != "/" && rel.compare(0, root.size(), root) == 0) rel = rel.substr(root.size());
        if (const std::size_t q = walk_up(point, rel == "/" ? "" : rel, quota_v1)) return q;
    }
    if (have_v2 && find_mount(true, &point, &root)) {
        std::string rel = v2_path;
        if (root != "/" && rel.compare(0, root.size(), root) == 0) rel = rel.substr(root.size());
        return walk_up(point, rel == "/" ? "" : rel, quota_v2);
    }
    return 0;
}

std::size_t available_cpus() {
    std::size_t cpus = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cpus == 0) {
        const long n = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = n > 0 ? static_cast<std::size_t>(n) : 1;
    }
    const std::size_t quota = cgroup_quota();
    if (quota > 0 && quota < cpus) cpus = quota;
    return cpus;
}

std::size_t default_size() {
    if (const std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
    if (const std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
    return available_cpus();
}

void* worker_main(void* arg) {
    Pool* pool = static_cast<Pool*>(arg);
    std::uint64_t seen = 0;
    pthread_mutex_lock(&pool->mu);
    while (true) {
        while (pool->generation == seen) pthread_cond_wait(&pool->wake, &pool->mu);
        seen = pool->generation;
        Job* job = pool->job;
        pthread_mutex_unlock(&pool->mu);

        // Tasks claimed one at a time: a worker that is done early keeps taking
        // tasks instead of waiting for a fixed share.
        while (true) {
            const std::size_t i = job->next.fetch_add(1, std::memory_order_relaxed);
            if (i >= job->ntasks) break;
            job->fn(job->ctx, i);
        }

        pthread_mutex_lock(&pool->mu);
        if (++pool->finished == pool->nthreads) pthread_cond_signal(&pool->done);
    }
    return nullptr;
}

Pool* create_pool() {
    Pool* pool = new (std::nothrow) Pool;
    if (pool == nullptr) return nullptr;
    const std::size_t want = default_size();

    // Workers never handle signals: the interpreter expects them on its own threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_mutex_lock(&pool->mu);
    for (std::size_t i = 0; i < want; ++i) {
        pthread_t tid;
        if (pthread_create(&tid, nullptr, worker_main, pool) != 0) break;
        pthread_detach(tid);
        ++pool->nthreads;
    }
    pthread_mutex_unlock(&pool->mu);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // A pool without workers is kept (and reported as 0 threads) rather than
    // freed: threads that did start may still be reading it.
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
    if (pool == nullptr || pool->nthreads == 0) return Status::kPoolUnavailable;

    Job job;
    job.fn = fn;
    job.ctx = ctx;
    job.ntasks = ntasks;

    pthread_mutex_lock(&pool->submit);
    pthread_mutex_lock(&pool->mu);
    pool->job = &job;
    pool->finished = 0;
    ++pool->generation;
    pthread_cond_broadcast(&pool->wake);
    // Every worker takes part in every job, so once all of them have checked
    // out nobody can touch `job` any more and it may leave the stack.
    while (pool->finished < pool->nthreads) pthread_cond_wait(&pool->done, &pool->mu);
    pool->job = nullptr;
    pthread_mutex_unlock(&pool->mu);
    pthread_mutex_unlock(&pool->submit);
    return Status::kOk;
}

std::size_t num_threads() noexcept {
    Pool* pool = global_pool();
    return pool == nullptr ? 0 : pool->nthreads;
}

}  // namespace zentrova::parallel
