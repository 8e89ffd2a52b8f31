// Free RAM under cgroup limits, v2 and v1, on a fake /proc and /sys, and on this machine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/free_memory.h"

namespace {

constexpr uint64_t MiB = 1048576;
constexpr uint64_t GiB = 1024 * MiB;

void write_file(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

}  // namespace

TEST(FreeRam, CappedByTheTightestCgroupOnTheProcessPath) {
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("mivra-free-ram-" + std::to_string(getpid()));
    struct row {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // relative path -> content
        uint64_t want;
    };
    const std::string meminfo = "MemTotal:       16000000 kB\nMemFree:  1000 kB\nMemAvailable:    8388608 kB\n";
    const row rows[] = {
        {"no cgroup files: MemAvailable", {{"proc/meminfo", meminfo}}, 8 * GiB},
        {"no meminfo: 0", {{"proc/self/cgroup", "0::/\n"}}, 0},
        {"v2 root unlimited, parent limited, leaf unlimited",
         {{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/a/b\n"},
          {"sys/fs/cgroup/memory.max", "max\n"},
          {"sys/fs/cgroup/a/memory.max", "3221225472\n"},
          {"sys/fs/cgroup/a/memory.current", "1073741824\n"},
          {"sys/fs/cgroup/a/b/memory.max", "max\n"},
          {"sys/fs/cgroup/a/b/memory.current", "1073741824\n"}},
         2 * GiB},
        {"v2 leaf tighter than its parent",
         {{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/a/b\n"},
          {"sys/fs/cgroup/a/memory.max", "3221225472\n"},
          {"sys/fs/cgroup/a/memory.current", "1073741824\n"},
          {"sys/fs/cgroup/a/b/memory.max", "1610612736\n"},
          {"sys/fs/cgroup/a/b/memory.current", "1073741824\n"}},
         512 * MiB},
        {"v2 usage above the limit: 0",
         {{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/c\n"},
          {"sys/fs/cgroup/c/memory.max", "1000\n"},
          {"sys/fs/cgroup/c/memory.current", "2000\n"}},
         0},
        {"v2 limit above MemAvailable changes nothing",
         {{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/c\n"},
          {"sys/fs/cgroup/c/memory.max", "107374182400\n"},
          {"sys/fs/cgroup/c/memory.current", "0\n"}},
         8 * GiB},
        {"v1 memory controller among others, root unlimited",
         {{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "7:cpu,cpuacct:/x\n5:memory:/x\n0::/\n"},
          {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
          {"sys/fs/cgroup/memory/x/memory.limit_in_bytes", "1073741824\n"},
          {"sys/fs/cgroup/memory/x/memory.usage_in_bytes", "268435456\n"}},
         768 * MiB},
        {"own cgroup not visible (another namespace): the root's limit",
         {{"proc/meminfo", meminfo},
          {"proc/self/cgroup", "0::/elsewhere/deep\n"},
          {"sys/fs/cgroup/memory.max", "4294967296\n"},
          {"sys/fs/cgroup/memory.current", "1073741824\n"}},
         3 * GiB},
    };
    for (const row& r : rows) {
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root / "proc");
        std::filesystem::create_directories(root / "sys");
        for (const auto& [path, text] : r.files) write_file(root / path, text);
        EXPECT_EQ(free_ram_bytes_at((root / "proc").string(), (root / "sys").string()), r.want) << r.what;
    }
    std::filesystem::remove_all(root);
    EXPECT_GT(free_ram_bytes(), 0u);  // this machine's own
}
