// Reads /proc/self/cgroup and /proc/self/mountinfo to find the process's cgroup
// and the CPU quota on the way from it to the root of its hierarchy.
#include "pool/cpu_count.h"

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zentrova::platform {
namespace {

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

}  // namespace

std::size_t usable_cpus() noexcept {
    std::size_t cpus = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<std::size_t>(CPU_COUNT(&set));
    if (cpus == 0) {
        const long n = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = n > 0 ? static_cast<std::size_t>(n) : 1;
    }
    std::size_t quota = 0;
    try {
        quota = cgroup_quota();
    } catch (...) {  // out of memory for a path: go by the affinity mask alone
        quota = 0;
    }
    if (quota > 0 && quota < cpus) cpus = quota;
    return cpus;
}

}  // namespace zentrova::platform
