// Whole-file writes that never leave half a file and never follow a link out of their folder: real files, real links,
// and the platform's write seam to make a write fail midway.
#include "platform/safe_writes.h"

#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

namespace {

std::function<long(uint64_t, uint64_t)> write_fault;  // set by a test while no write runs

struct fault_scope {
    explicit fault_scope(std::function<long(uint64_t, uint64_t)> fault) { write_fault = std::move(fault); }
    ~fault_scope() { write_fault = nullptr; }
};

mode_t mode_of(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct scratch {
    temp_folder dir;
    fs::path project = dir / "project";
    fs::path outside = dir / "outside";
    scratch() {
        fs::create_directories(project);
        fs::create_directories(outside);
    }
    std::error_code write(const fs::path& path, const std::string& data) const {
        std::error_code error;
        const bool ok = replace_file_contents(path, data, project, error);
        EXPECT_EQ(ok, !error) << path;
        return error;
    }
};

}  // namespace

extern "C" long mivra_write_hook(uint64_t offset, uint64_t length) {
    return write_fault ? write_fault(offset, length) : -1;
}

TEST(SafeWrites, ReplacesWholeKeepsTheModeAndLeavesNoTemporary) {
    scratch s;
    const fs::path file = s.project / "run.sh";
    write_text(file, "old old old");
    ASSERT_EQ(::chmod(file.c_str(), 0751), 0);
    EXPECT_FALSE(s.write(file, "new"));
    EXPECT_EQ(read_text(file), "new");
    EXPECT_EQ(mode_of(file), 0751u);

    const fs::path fresh = s.project / "fresh.txt";
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_FALSE(s.write(fresh, ""));
    EXPECT_TRUE(fs::is_regular_file(fresh));
    EXPECT_EQ(mode_of(fresh), 0666u & ~mask);
    EXPECT_EQ(names_in(s.project), (std::vector<std::string>{"fresh.txt", "run.sh"}));
}

TEST(SafeWrites, LinksAreFollowedOnlyToExistingFilesWithinTheBoundary) {
    scratch s;
    write_text(s.project / "real.txt", "inside");
    write_text(s.outside / "secret.txt", "outside");
    fs::create_symlink(s.project / "real.txt", s.project / "alias.txt");
    fs::create_symlink(s.outside / "secret.txt", s.project / "out.txt");
    fs::create_symlink(s.outside / "planted.txt", s.project / "dangling.txt");
    fs::create_symlink(s.project / "nothing-yet.txt", s.project / "dangling-inside.txt");
    fs::create_directory_symlink(s.outside, s.project / "away");

    std::error_code error;
    EXPECT_EQ(write_destination(s.project / "alias.txt", s.project, error), s.project / "real.txt");
    EXPECT_FALSE(s.write(s.project / "alias.txt", "through the link"));
    EXPECT_EQ(read_text(s.project / "real.txt"), "through the link");
    EXPECT_TRUE(fs::is_symlink(s.project / "alias.txt"));

    for (const char* refused : {"out.txt", "dangling.txt", "dangling-inside.txt", "away/secret.txt", "away/new.txt"}) {
        EXPECT_EQ(s.write(s.project / refused, "x"), std::errc::too_many_symbolic_link_levels) << refused;
    }
    EXPECT_EQ(read_text(s.outside / "secret.txt"), "outside");
    EXPECT_EQ(names_in(s.outside), (std::vector<std::string>{"secret.txt"}));
    EXPECT_FALSE(fs::exists(s.project / "nothing-yet.txt"));

    // Without a boundary (a file the user chose outside any project) an existing target is fine.
    EXPECT_TRUE(replace_file_contents(s.project / "out.txt", "approved", {}, error)) << error.message();
    EXPECT_EQ(read_text(s.outside / "secret.txt"), "approved");
}

TEST(SafeWrites, AFolderOrAMissingParentIsRefused) {
    scratch s;
    fs::create_directories(s.project / "folder");
    EXPECT_EQ(s.write(s.project / "folder", "x"), std::errc::is_a_directory);
    EXPECT_EQ(s.write(s.project / "no" / "such.txt", "x"), std::errc::no_such_file_or_directory);
}

TEST(SafeWrites, AWriteThatFailsMidwayLeavesTheOldFileWhole) {
    scratch s;
    const fs::path file = s.project / "data.bin";
    const std::string old(100000, 'o');
    write_text(file, old);
    {
        fault_scope fault([](uint64_t offset, uint64_t length) { return offset + length > 5000 ? long(5000 - offset) : -1; });
        EXPECT_EQ(s.write(file, std::string(200000, 'n')), std::errc::no_space_on_device);
        EXPECT_EQ(s.write(s.project / "new.bin", std::string(200000, 'n')), std::errc::no_space_on_device);
    }
    EXPECT_EQ(read_text(file), old);
    EXPECT_EQ(names_in(s.project), (std::vector<std::string>{"data.bin"}));
}
