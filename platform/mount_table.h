// The file systems mounted on this machine, as /proc/self/mounts lists them: which of them are local disks (the
// places worth searching for packs) and which are not (kernel views, RAM, network and removable media).
// Reads the mount table on every call; keeps no state; safe from any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct mount_entry {
    std::string source;       // device or pseudo name ("/dev/sda1", "proc", "server:/export")
    std::string mount_point;  // absolute path, escapes such as "\040" decoded
    std::string fs_type;      // "ext4", "tmpfs", "nfs4" ...
};

// The entries of /proc/self/mounts in their order; empty when the table cannot be read.
std::vector<mount_entry> read_mount_table();

// True for a file system on a fixed block device: the source is a device under /dev/ that is no loop device, the
// type is no read-only image format (squashfs, iso9660, udf), and, when the device can be examined, it is a block
// device that the kernel does not mark removable. Reads /sys for the removable flag.
bool is_local_disk_mount(const mount_entry& entry);

// The mount points of local disk file systems, in table order, each once.
std::vector<std::filesystem::path> local_disk_mount_points();
