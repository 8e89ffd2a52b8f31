#include "platform/mount_table.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Fields of the mount table write blanks, tabs, newlines and backslashes as three octal digits after '\'.
std::string decode_octal_escapes(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            int value = 0;
            bool octal = true;
            for (size_t k = i + 1; k <= i + 3; ++k) {
                octal = octal && field[k] >= '0' && field[k] <= '7';
                value = value * 8 + (field[k] - '0');
            }
            if (octal) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// "1" in the removable flag of the device (of the whole disk for a partition); false when /sys cannot tell.
bool is_removable_device(dev_t device) {
    std::error_code ec;
    const fs::path link = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    fs::path dev = fs::canonical(link, ec);
    if (ec) return false;
    if (fs::exists(dev / "partition", ec)) dev = dev.parent_path();
    std::ifstream in(dev / "removable");
    std::string flag;
    return std::getline(in, flag) && flag == "1";
}

}  // namespace

std::vector<mount_entry> read_mount_table() {
    std::vector<mount_entry> entries;
    std::ifstream in("/proc/self/mounts");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        mount_entry e;
        if (!(fields >> e.source >> e.mount_point >> e.fs_type)) continue;
        e.source = decode_octal_escapes(e.source);
        e.mount_point = decode_octal_escapes(e.mount_point);
        entries.push_back(std::move(e));
    }
    return entries;
}

bool is_local_disk_mount(const mount_entry& entry) {
    if (!starts_with(entry.source, "/dev/") || starts_with(entry.source, "/dev/loop")) return false;
    if (entry.fs_type == "squashfs" || entry.fs_type == "iso9660" || entry.fs_type == "udf") return false;
    struct stat st {};
    if (::stat(entry.source.c_str(), &st) != 0) return true;  // no device node here (a container): trust the name
    if (!S_ISBLK(st.st_mode)) return false;
    return !is_removable_device(st.st_rdev);
}

std::vector<fs::path> local_disk_mount_points() {
    std::vector<fs::path> points;
    for (const mount_entry& e : read_mount_table()) {
        if (!is_local_disk_mount(e)) continue;
        const fs::path p(e.mount_point);
        bool seen = false;
        for (const fs::path& q : points) seen = seen || q == p;
        if (!seen) points.push_back(p);
    }
    return points;
}
