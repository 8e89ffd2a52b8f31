#include "engine/runtime/cache_sizing.h"

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

// A cgroup v2 or v1 limit value, or 0 when unlimited / absent.
uint64_t read_limit(const char* path) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max") return 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 10);
    if (end == word.c_str()) return 0;
    return v >= (uint64_t(1) << 60) ? 0 : uint64_t(v);  // v1 reports "no limit" as a huge number
}

uint64_t read_value(const char* path) {
    std::ifstream in(path);
    unsigned long long v = 0;
    return (in >> v) ? uint64_t(v) : 0;
}

}  // namespace

uint64_t free_ram_bytes() {
    uint64_t avail = 0;
    {
        std::ifstream in("/proc/meminfo");
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
    struct cgroup_files { const char* limit; const char* usage; };
    for (const cgroup_files& cg : {cgroup_files{"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"},
                                   cgroup_files{"/sys/fs/cgroup/memory/memory.limit_in_bytes",
                                                "/sys/fs/cgroup/memory/memory.usage_in_bytes"}}) {
        const uint64_t limit = read_limit(cg.limit);
        if (limit == 0) continue;
        const uint64_t used = read_value(cg.usage);
        const uint64_t room = limit > used ? limit - used : 0;
        if (room < avail) avail = room;
        break;
    }
    return avail;
}

std::unique_ptr<expert_cache> make_expert_cache(const model& m, const engine_options& options) {
    const bool fixed = options.cache_mb != 0;
    uint64_t free = 0, budget = 0, reserve = 0;
    if (fixed) {
        budget = options.cache_mb * mib;
    } else {
        free = free_ram_bytes();
        budget = free > headroom ? free - headroom : 0;
        reserve = std::numeric_limits<uint64_t>::max();
    }
    auto cache = std::make_unique<expert_cache>(m, budget, options.io_threads, options.protect, reserve);

    const bool lowbit = !m.lowbit_layers.empty() || parse_lossy_mode(options.mode).lowbit || options.lowbit;
    cache->set_lowbit(lowbit);

    const uint64_t slots_bytes = uint64_t(cache->n_slots()) * cache->expert_bytes();
    if (!fixed && budget < slots_bytes)
        std::fprintf(stderr, "warning: only %.0f MB of RAM free; running with the minimum expert cache (%.0f MB)\n",
                     double(free) / double(mib), double(slots_bytes) / double(mib));
    return cache;
}

void apply_budget_rule(expert_cache& cache) {
    const uint64_t sum = cache.resident_bytes() + free_ram_bytes();
    const uint64_t budget = sum > headroom ? sum - headroom : 0;
    const int32_t old_slots = cache.n_slots();
    const int64_t wanted = int64_t(budget / cache.expert_bytes());
    if (std::llabs(wanted - int64_t(old_slots)) < 16) return;
    const int32_t new_slots = cache.resize(budget);
    if (new_slots == old_slots) return;
    std::fprintf(stderr, "[budget] free RAM %.0f MB: expert cache %d -> %d slots (%.0f MB)\n",
                 double(free_ram_bytes()) / double(mib), old_slots, new_slots,
                 double(new_slots) * double(cache.expert_bytes()) / double(mib));
}
