// Unbuffered positioned reads: the O_DIRECT path on a real disk, the fallback on tmpfs, unaligned requests, and
// interrupted, partial, failed and early-ending transfers injected through the read seam.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/direct_file.h"

namespace {

std::function<long(uint64_t, uint64_t)> fault;  // set by a test while no read runs

constexpr uint64_t file_size = 5 * 4096 + 100;

uint8_t byte_at(uint64_t pos) { return static_cast<uint8_t>((pos * 131 + pos / 4096) & 0xff); }

std::string write_file(const std::string& folder) {
    std::string pattern = (std::filesystem::path(folder) / "mivra-direct-XXXXXX").string();
    int fd = mkstemp(pattern.data());
    EXPECT_GE(fd, 0) << folder;
    std::vector<uint8_t> data(file_size);
    for (uint64_t i = 0; i < file_size; ++i) data[i] = byte_at(i);
    EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
    return pattern;
}

struct aligned_buffer {
    // aligned_alloc wants a size that is a multiple of the alignment.
    explicit aligned_buffer(size_t n)
        : p(static_cast<uint8_t*>(std::aligned_alloc(4096, (n + 4095) / 4096 * 4096))), size(n) {
        std::memset(p, 0xEE, n);
    }
    ~aligned_buffer() { std::free(p); }
    uint8_t* p;
    size_t size;
};

bool holds(const uint8_t* buf, uint64_t offset, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (buf[i] != byte_at(offset + i)) return false;
    return true;
}

class DirectFile : public ::testing::Test {
protected:
    void TearDown() override { fault = nullptr; }
};

TEST_F(DirectFile, ReadsOnDiskAndOnTmpfs) {
    std::vector<std::string> folders{testing::TempDir()};
    if (std::filesystem::is_directory("/dev/shm")) folders.push_back("/dev/shm");
    const struct {
        uint64_t offset, bytes, expected;
    } reads[] = {
        {0, 8192, 8192},           // aligned: unbuffered where the file system allows it
        {4096, 4096 * 5, file_size - 4096},  // runs past the end of the file
        {100, 5000, 5000},         // unaligned offset and length go through the page cache
        {file_size, 4096, 0},
    };
    for (const std::string& folder : folders) {
        std::string path = write_file(folder);
        SCOPED_TRACE(path);
        direct_file f;
        ASSERT_TRUE(f.open(path));
        // tmpfs refuses O_DIRECT before Linux 6.6 (Debian 12's kernel): there the buffered fallback is taken.
        SCOPED_TRACE(f.is_direct() ? "unbuffered" : "buffered");
        for (const auto& r : reads) {
            SCOPED_TRACE(r.offset);
            aligned_buffer buf(r.bytes);
            EXPECT_EQ(f.read_at(buf.p, r.bytes, r.offset), r.expected);
            EXPECT_TRUE(holds(buf.p, r.offset, r.expected));
        }
        std::filesystem::remove(path);
    }
}

TEST_F(DirectFile, InjectedTransferFaults) {
    std::string path = write_file(testing::TempDir());
    const struct {
        const char* name;
        std::function<long(uint64_t, uint64_t)> fault;
        uint64_t delivered;  // of a 4 * 4096 byte read at 4096
        bool buffered_after = false;
    } cases[] = {
        {"interrupted every other time",
         [n = 0](uint64_t, uint64_t len) mutable { return ++n % 2 ? -EINTR : static_cast<long>(len); }, 16384},
        {"one page per transfer", [](uint64_t, uint64_t len) { return static_cast<long>(std::min<uint64_t>(len, 4096)); },
         16384},
        {"odd-sized transfers", [](uint64_t, uint64_t len) { return static_cast<long>(std::min<uint64_t>(len, 1000)); },
         16384},
        {"a disk error after the first page",
         [n = 0](uint64_t, uint64_t len) mutable { return n++ ? -EIO : static_cast<long>(std::min<uint64_t>(len, 4096)); },
         4096},
        {"the file ends early",
         [](uint64_t off, uint64_t len) { return off >= 12288 ? 0L : static_cast<long>(std::min(len, 12288 - off)); },
         8192},
        {"unbuffered reads refused by the file system",
         [n = 0](uint64_t, uint64_t len) mutable { return n++ ? static_cast<long>(len) : -EINVAL; }, 16384, true},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        direct_file f;
        ASSERT_TRUE(f.open(path));
        if (t.buffered_after && !f.is_direct()) continue;  // a temp folder without O_DIRECT at all
        fault = t.fault;
        aligned_buffer buf(16384);
        EXPECT_EQ(f.read_at(buf.p, 16384, 4096), t.delivered);
        EXPECT_TRUE(holds(buf.p, 4096, t.delivered));
        fault = nullptr;
        if (t.buffered_after) {
            EXPECT_FALSE(f.is_direct());
        }
        EXPECT_EQ(f.read_at(buf.p, 4096, 0), 4096u) << "the descriptor still reads";
        EXPECT_TRUE(holds(buf.p, 0, 4096));
    }
    std::filesystem::remove(path);
}

TEST_F(DirectFile, MissingFileDoesNotOpen) {
    direct_file f;
    EXPECT_FALSE(f.open(testing::TempDir() + "/no-such-file.bin"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(f.is_open());
}

}  // namespace

extern "C" long mivra_read_hook(uint64_t offset, uint64_t length) {
    return fault ? fault(offset, length) : static_cast<long>(length);
}
