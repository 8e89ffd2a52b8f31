// Free physical memory, as the expert cache's budget counts it: MemAvailable and the cgroup memory limits.
// Reads the files on every call; keeps no state; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

// Physical memory available to this process: MemAvailable, capped by the tightest cgroup memory limit (less its
// usage) on the path from the cgroup root to the process's own cgroup, v2 or v1. 0 when it cannot be read.
uint64_t free_ram_bytes();
// The same, reading <proc_root>/meminfo, <proc_root>/self/cgroup and the cgroup files under <sys_root>/fs/cgroup
// (free_ram_bytes uses "/proc" and "/sys").
uint64_t free_ram_bytes_at(const std::string& proc_root, const std::string& sys_root);

