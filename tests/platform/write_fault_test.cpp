// The platform's write seam: a write that the test caps stores the allowed bytes and fails with ENOSPC, positioned
// writes and writes at the current position alike, and an atomic replacement that fails leaves the old file whole.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

std::function<long(uint64_t, uint64_t)> write_fault;  // set by a test while no write runs

std::string read_text(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WriteSeam : public testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("mivra-write-seam-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        write_fault = nullptr;
        fs::remove_all(dir);
    }
};

}  // namespace

extern "C" long mivra_write_hook(uint64_t offset, uint64_t length) {
    return write_fault ? write_fault(offset, length) : -1;
}

TEST_F(WriteSeam, CappedWritesStoreThePrefixAndFailAsOnAFullDisk) {
    const std::string path = (dir / "f").string();
    file_descriptor fd = open_write_truncate(path);
    ASSERT_TRUE(fd.valid());
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    write_fault = [&](uint64_t offset, uint64_t length) {
        seen.emplace_back(offset, length);
        return offset + length > 10 ? long(10 - offset) : -1;
    };
    EXPECT_TRUE(write_all(fd.get(), "abcdef", 6));  // ends before byte 10: untouched
    errno = 0;
    EXPECT_FALSE(write_all(fd.get(), "ghijkl", 6));  // at position 6: 4 bytes stored
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_FALSE(write_at(fd.get(), 8, "XYZW", 4));  // 2 bytes stored at 8 and 9
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(write_at(fd.get(), 2, "cd", 2));
    const std::vector<std::pair<uint64_t, uint64_t>> want = {{0, 6}, {6, 6}, {8, 4}, {2, 2}};
    EXPECT_EQ(seen, want);
    fd.close();
    EXPECT_EQ(read_text(path), "abcdefghXY");

    // Values outside [0, length) change nothing.
    for (long answer : {-1L, 4L, 100L}) {
        write_fault = [answer](uint64_t, uint64_t) { return answer; };
        file_descriptor again = open_write_truncate(path);
        EXPECT_TRUE(write_at(again.get(), 0, "1234", 4)) << answer;
    }
}

TEST_F(WriteSeam, FailedAtomicReplacementKeepsTheOldFile) {
    const std::string path = (dir / "settings.json").string();
    ASSERT_TRUE(write_file_atomic(path, "old"));
    write_fault = [](uint64_t, uint64_t) { return 0L; };
    EXPECT_FALSE(write_file_atomic(path, "new contents"));
    EXPECT_EQ(read_text(path), "old");
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST_F(WriteSeam, PipesAreNotReported) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    file_descriptor r(fds[0]), w(fds[1]);
    bool called = false;
    write_fault = [&](uint64_t, uint64_t) {
        called = true;
        return 0L;
    };
    EXPECT_TRUE(write_all(w.get(), "x", 1));
    EXPECT_FALSE(called);
}
