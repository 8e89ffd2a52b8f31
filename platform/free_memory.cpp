#include "platform/free_memory.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

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
