#include "engine/runtime/cache_sizing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

#include "engine/pack/model.h"
#include "engine/runtime/expert_cache.h"
#include "engine/runtime/lossy_modes.h"

namespace {

constexpr uint64_t mib = 1048576;
constexpr uint64_t headroom = 512 * mib;  // left to the system and the rest of the program
constexpr uint64_t min_slots = 16;

// A cgroup v2 or v1 limit value, or 0 when unlimited / absent.
uint64_t read_limit(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max") return 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 10);
    if (end == word.c_str()) return 0;
    return v >= (uint64_t(1) << 60) ? 0 : uint64_t(v);  // v1 reports "no limit" as a huge number
}

uint64_t read_value(const std::string& path) {
    std::ifstream in(path);
    unsigned long long v = 0;
    return (in >> v) ? uint64_t(v) : 0;
}

// The cgroup paths of this process from /proc/self/cgroup: the v2 path ("0::/path") and the v1 memory
// controller's path ("N:...,memory,...:/path"); empty when absent.
struct cgroup_paths {
    std::string v2, v1;
};

cgroup_paths own_cgroups(const std::string& proc_root) {
    cgroup_paths paths;
    std::ifstream in(proc_root + "/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const size_t a = line.find(':');
        const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string id = line.substr(0, a), controllers = line.substr(a + 1, b - a - 1), path = line.substr(b + 1);
        if (path.empty() || path[0] != '/') continue;
        if (id == "0" && controllers.empty()) {
            paths.v2 = path;
            continue;
        }
        size_t pos = 0;
        while (pos <= controllers.size()) {
            size_t comma = controllers.find(',', pos);
            if (comma == std::string::npos) comma = controllers.size();
            if (controllers.compare(pos, comma - pos, "memory") == 0) paths.v1 = path;
            pos = comma + 1;
        }
    }
    return paths;
}

// Lowers `room` to the tightest limit less usage of every cgroup from `base` (the hierarchy's mount) down to
// base + path. A path that does not exist below the mount (another cgroup namespace) only finds the root's files.
void cap_by_cgroup(const std::string& base, const std::string& path, const char* limit_file, const char* usage_file,
                   uint64_t& room) {
    std::string prefix;  // "", "/a", "/a/b", ...
    size_t pos = 0;
    while (true) {
        const uint64_t limit = read_limit(base + prefix + "/" + limit_file);
        if (limit != 0) {
            const uint64_t used = read_value(base + prefix + "/" + usage_file);
            room = std::min(room, limit > used ? limit - used : 0);
        }
        if (pos >= path.size()) break;
        size_t next = path.find('/', pos + 1);
        if (next == std::string::npos) next = path.size();
        const std::string part = path.substr(pos, next - pos);  // "/name"
        pos = next;
        if (part == "/" || part.empty()) continue;
        prefix += part;
    }
}

}  // namespace

uint64_t free_ram_bytes_at(const std::string& proc_root, const std::string& sys_root) {
    uint64_t avail = 0;
    {
        std::ifstream in(proc_root + "/meminfo");
        std::string key;
        unsigned long long kb = 0;
        std::string unit;
        while (in >> key >> kb) {
            std::getline(in, unit);
            if (key == "MemAvailable:") {
                avail = uint64_t(kb) * 1024;
                break;
            }
        }
    }
    const cgroup_paths own = own_cgroups(proc_root);
    const std::string mount = sys_root + "/fs/cgroup";
    cap_by_cgroup(mount, own.v2, "memory.max", "memory.current", avail);
    cap_by_cgroup(mount + "/memory", own.v1, "memory.limit_in_bytes", "memory.usage_in_bytes", avail);
    return avail;
}

uint64_t free_ram_bytes() { return free_ram_bytes_at("/proc", "/sys"); }

uint64_t kv_cache_bytes(const model_hparams& hp, int32_t n_ctx, int32_t n_parallel) {
    const uint64_t cells = (uint64_t(std::max(n_ctx, 0)) + 255) / 256 * 256;
    const uint64_t row = uint64_t(std::max(hp.head_dim, 0)) * uint64_t(std::max(hp.n_head_kv, 0)) * 2;  // F16
    return cells * row * 2 * uint64_t(std::max(hp.n_layer, 0)) * uint64_t(std::max(n_parallel, 1));
}

cache_plan plan_expert_cache(uint64_t cache_mb, uint64_t free, uint64_t kv_bytes, uint64_t expert_bytes,
                             uint64_t n_experts) {
    cache_plan p;
    if (cache_mb != 0) {
        p.budget = cache_mb > UINT64_MAX / mib ? UINT64_MAX : cache_mb * mib;
    } else {
        const uint64_t keep = headroom + kv_bytes;
        p.budget = free > keep ? free - keep : 0;
        p.reserve = std::numeric_limits<uint64_t>::max();
    }
    // As the cache counts them: the reservation covers every expert when it allows more, else at least 16.
    const uint64_t eb = std::max<uint64_t>(expert_bytes, 1);
    const uint64_t want_reserved = std::max(p.reserve, p.budget) / eb;
    const uint64_t reserved = n_experts < want_reserved ? n_experts : std::max(min_slots, want_reserved);
    const uint64_t want = p.budget / eb;
    p.n_slots = int64_t(std::min(reserved < want ? reserved : std::max(min_slots, want), reserved));
    p.warn = cache_mb == 0 && p.budget < uint64_t(p.n_slots) * expert_bytes;
    return p;
}

budget_step plan_budget_step(uint64_t resident, uint64_t free, uint64_t expert_bytes, int32_t n_slots) {
    budget_step s;
    const uint64_t sum = resident + free;
    s.budget = sum > headroom ? sum - headroom : 0;
    const int64_t wanted = int64_t(s.budget / std::max<uint64_t>(expert_bytes, 1));
    s.resize = std::llabs(wanted - int64_t(n_slots)) >= 16;
    return s;
}

std::unique_ptr<expert_cache> make_expert_cache(const model& m, const engine_options& options, uint64_t kv_bytes) {
    const bool fixed = options.cache_mb != 0;
    const uint64_t free = fixed ? 0 : free_ram_bytes();
    // Only the budget and the reservation are taken from the plan; the cache counts its own slots.
    const cache_plan plan = plan_expert_cache(options.cache_mb, free, kv_bytes, 1, 0);
    auto cache = std::make_unique<expert_cache>(m, plan.budget, options.io_threads, options.protect, plan.reserve);

    const bool lowbit = !m.lowbit_layers.empty() || parse_lossy_mode(options.mode).lowbit || options.lowbit;
    cache->set_lowbit(lowbit);

    const uint64_t slots_bytes = uint64_t(cache->n_slots()) * cache->expert_bytes();
    if (!fixed && plan.budget < slots_bytes)
        std::fprintf(stderr, "warning: only %.0f MB of RAM free; running with the minimum expert cache (%.0f MB)\n",
                     double(free) / double(mib), double(slots_bytes) / double(mib));
    return cache;
}

void apply_budget_rule(expert_cache& cache) {
    const int32_t old_slots = cache.n_slots();
    const budget_step step = plan_budget_step(cache.resident_bytes(), free_ram_bytes(), cache.expert_bytes(), old_slots);
    if (!step.resize) return;
    const int32_t new_slots = cache.resize(step.budget);
    if (new_slots == old_slots) return;
    std::fprintf(stderr, "[budget] free RAM %.0f MB: expert cache %d -> %d slots (%.0f MB)\n",
                 double(free_ram_bytes()) / double(mib), old_slots, new_slots,
                 double(new_slots) * double(cache.expert_bytes()) / double(mib));
}
