// The pieces of this platform that `start` stands on: which mounted file systems count as local disks, the
// desktop's user folders, and the browser opener (with an xdg-open of the test's own on the PATH).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <optional>
#include <cstdlib>
#include <thread>

#include "platform/mount_table.h"
#include "platform/shell_open.h"
#include "platform/user_dirs.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the life of the object (these tests run no other thread).
struct scoped_env {
    std::string name;
    std::optional<std::string> old;
    scoped_env(const std::string& n, const std::string& value) : name(n) {
        if (const char* v = std::getenv(n.c_str())) old = v;
        setenv(n.c_str(), value.c_str(), 1);
    }
    ~scoped_env() {
        if (old) {
            setenv(name.c_str(), old->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
};

}  // namespace

TEST(StartPlatform, LocalDiskMounts) {
    const struct {
        mount_entry entry;
        bool local;
    } cases[] = {
        {{"/dev/mivra-no-such-disk", "/", "ext4"}, true},  // no device node (a container): the name decides
        {{"/dev/mivra-no-such-disk", "/data", "xfs"}, true},
        {{"/dev/loop3", "/snap/core/1", "squashfs"}, false},
        {{"/dev/mivra-no-such-disk", "/media/cd", "iso9660"}, false},
        {{"proc", "/proc", "proc"}, false},
        {{"tmpfs", "/tmp", "tmpfs"}, false},
        {{"server:/export", "/mnt/nas", "nfs4"}, false},
        {{"/dev/null", "/odd", "ext4"}, false},  // a device node that is no block device
    };
    for (const auto& c : cases) EXPECT_EQ(is_local_disk_mount(c.entry), c.local) << c.entry.source << " " << c.entry.mount_point;

    // The table of this machine parses, and every local disk point is an absolute path listed once.
    const std::vector<fs::path> points = local_disk_mount_points();
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_TRUE(points[i].is_absolute()) << points[i];
        for (size_t j = 0; j < i; ++j) EXPECT_NE(points[i], points[j]);
    }
    EXPECT_FALSE(read_mount_table().empty());
}

TEST(StartPlatform, UserFolders) {
    temp_folder tmp;
    const scoped_env home("HOME", (tmp / "home").string());
    const scoped_env config("XDG_CONFIG_HOME", (tmp / "config").string());
    EXPECT_EQ(xdg_user_dir("DOWNLOAD", "Downloads"), tmp / "home" / "Downloads");  // no user-dirs file

    fs::create_directories(tmp / "config");
    write_text(tmp / "config" / "user-dirs.dirs", "# comment\n"
                                                  "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                                                  "XDG_DOWNLOAD_DIR=\"/data/dl\"\n"
                                                  "XDG_DOCUMENTS_DIR=\"relative\"\n"
                                                  "XDG_MUSIC_DIR=\"$HOME/Music\n");
    EXPECT_EQ(xdg_user_dir("DESKTOP", "Desktop"), tmp / "home" / "Schreibtisch");
    EXPECT_EQ(xdg_user_dir("DOWNLOAD", "Downloads"), fs::path("/data/dl"));
    EXPECT_EQ(xdg_user_dir("DOCUMENTS", "Documents"), tmp / "home" / "Documents");  // not absolute
    EXPECT_EQ(xdg_user_dir("MUSIC", "Music"), tmp / "home" / "Music");              // no closing quote
    EXPECT_EQ(xdg_user_dir("PICTURES", "Pictures"), tmp / "home" / "Pictures");
}

TEST(StartPlatform, BrowserOpenerIsDetachedAndQuiet) {
    temp_folder tmp;
    fs::create_directories(tmp / "bin");
    const fs::path opened = tmp / "opened.txt";
    const fs::path release = tmp / "release";
    // This xdg-open waits for the test's word before it records the address, so open_url must return first.
    write_text(tmp / "bin" / "xdg-open", "#!/bin/sh\nn=0\nwhile [ ! -e \"" + release.string() +
                                             "\" ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done\n"
                                             "printf '%s\\n' \"$1\" > \"" + opened.string() +
                                             "\"\necho noise\necho more noise >&2\n");
    fs::permissions(tmp / "bin" / "xdg-open", fs::perms::owner_all);
    const scoped_env path("PATH", (tmp / "bin").string() + ":/usr/bin:/bin");

    testing::internal::CaptureStdout();
    open_url("http://127.0.0.1:8080/?a=1&b='x y'");
    EXPECT_FALSE(fs::exists(opened));
    // Nothing is left for this process to reap: xdg-open is no child of it.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    write_text(release, "");
    for (int i = 0; i < 200 && read_text(opened).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_text(opened), "http://127.0.0.1:8080/?a=1&b='x y'\n");
}
