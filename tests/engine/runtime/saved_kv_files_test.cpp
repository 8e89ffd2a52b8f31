// The saved prompt KV store on its own, with cells of a few bytes written and read through its function objects:
// which file a prompt restores from, covering and superseded files, the budget, failed reads and writes, and the
// scan's choice of files. The engine's use of it is tested in saved_kv_store_test.cpp.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/runtime/saved_kv_store.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t cell_bytes = 8;
constexpr int32_t n_ctx = 4096;

// Cell i of a prompt is eight copies of its token's low byte, so a read can tell which cells it got.
saved_kv_store::write_cells_fn cells_of(const std::vector<int32_t>& prompt) {
    return [prompt](std::ostream& out, int32_t n) {
        for (int32_t i = 0; i < n; ++i) out << std::string(cell_bytes, char(prompt[size_t(i)] & 0xff));
    };
}

struct read_log {
    int32_t n_use = -1, n_stored = -1;
    std::string first_cells;  // the bytes of the cells read
};

saved_kv_store::read_cells_fn reader(read_log& log) {
    return [&log](std::istream& in, int32_t n_use, int32_t n_stored) {
        log.n_use = n_use;
        log.n_stored = n_stored;
        log.first_cells.assign(size_t(n_use) * cell_bytes, '\0');
        if (!in.read(log.first_cells.data(), std::streamsize(log.first_cells.size()))) {
            throw std::runtime_error("short read");
        }
    };
}

std::vector<int32_t> prompt_of(size_t n, int32_t first) {
    std::vector<int32_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = first + int32_t(i);
    return p;
}

class SavedKvFiles : public testing::Test {
protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("mivra-kv-files-" + std::to_string(::getpid())) / "kv";
        fs::remove_all(dir.parent_path());
    }
    void TearDown() override { fs::remove_all(dir.parent_path()); }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& de : fs::directory_iterator(dir, ec)) names.push_back(de.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace

TEST_F(SavedKvFiles, RestoresTheLongestSharedStartAfterARestart) {
    const std::vector<int32_t> a = prompt_of(10, 100), b = prompt_of(30, 300);
    {
        saved_kv_store store(dir, 64, cell_bytes, n_ctx);
        store.scan();
        store.save(a, cells_of(a));
        store.save(b, cells_of(b));
        EXPECT_EQ(fs::file_size(dir / pkv_file_name(b)), 16 + 4 * b.size() + cell_bytes * b.size());
    }
    saved_kv_store store(dir, 64, cell_bytes, n_ctx);
    testing::internal::CaptureStderr();
    store.scan();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "2 saved prompt KVs in " + dir.string() + "\n");
    ASSERT_EQ(store.entries().size(), 2u);

    // The first 20 tokens of b, then others: b's file gives 20 cells.
    std::vector<int32_t> asked(b.begin(), b.begin() + 20);
    asked.push_back(7);
    read_log log;
    testing::internal::CaptureStderr();
    const saved_kv_store::restored got = store.restore(asked, 3, reader(log));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(got.failed);
    EXPECT_EQ(got.tokens, 20);
    EXPECT_EQ(log.n_use, 20);
    EXPECT_EQ(log.n_stored, 30);
    EXPECT_EQ(log.first_cells.substr(19 * cell_bytes), std::string(cell_bytes, char(319 & 0xff)));
    EXPECT_EQ(err.rfind("[kv] read 20 prompt tokens from disk in ", 0), 0u) << err;
    EXPECT_EQ(store.entries().back().tokens, b);  // used last: evicted last

    // The whole of a saved prompt: all but its last token, which is always evaluated.
    read_log whole;
    testing::internal::CaptureStderr();
    EXPECT_EQ(store.restore(a, 0, reader(whole)).tokens, 9);
    testing::internal::GetCapturedStderr();

    // Nothing longer than what the slot already holds: no read.
    read_log none;
    EXPECT_EQ(store.restore(asked, 20, reader(none)).tokens, 20);
    EXPECT_EQ(none.n_use, -1);
}

TEST_F(SavedKvFiles, CoveredPromptsAreNotSavedAndLongerOnesReplaceShorter) {
    saved_kv_store store(dir, 64, cell_bytes, n_ctx);
    store.scan();
    const std::vector<int32_t> a = prompt_of(12, 1);
    std::vector<int32_t> longer = a;
    longer.push_back(99);
    store.save(a, cells_of(a));
    store.save(longer, cells_of(longer));
    EXPECT_EQ(files(), std::vector<std::string>{pkv_file_name(longer)});

    bool written = false;
    store.save(a, [&](std::ostream&, int32_t) { written = true; });
    EXPECT_FALSE(written);
    ASSERT_EQ(store.entries().size(), 1u);
    EXPECT_EQ(store.entries()[0].tokens, longer);
}

TEST_F(SavedKvFiles, BudgetEvictsTheLeastRecentlyUsedAndKeepsTheNewest) {
    // Cells of 8 bytes: 50000 tokens make a file of about 0.6 MiB, so two do not fit in 1 MiB.
    saved_kv_store store(dir, 1, cell_bytes, 1 << 20);
    store.scan();
    const std::vector<int32_t> a = prompt_of(50000, 1), b = prompt_of(50000, 2'000'000), c = prompt_of(150000, 9);
    store.save(a, cells_of(a));
    store.save(b, cells_of(b));
    EXPECT_EQ(files(), std::vector<std::string>{pkv_file_name(b)});
    store.save(c, cells_of(c));  // alone over the budget, and still kept
    EXPECT_EQ(files(), std::vector<std::string>{pkv_file_name(c)});
}

TEST_F(SavedKvFiles, FailedWritesAndReadsLeaveNoFileBehind) {
    saved_kv_store store(dir, 64, cell_bytes, n_ctx);
    store.scan();
    const std::vector<int32_t> a = prompt_of(8, 40);
    testing::internal::CaptureStderr();
    store.save(a, [](std::ostream&, int32_t) { throw std::runtime_error("save_kv: write failed"); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[kv] not saved: write failed (disk full?)\n");
    EXPECT_TRUE(files().empty());
    EXPECT_TRUE(store.entries().empty());

    store.save(a, cells_of(a));
    read_log log;
    testing::internal::CaptureStderr();
    const saved_kv_store::restored got =
        store.restore(a, 0, [](std::istream&, int32_t, int32_t) { throw std::runtime_error("load_kv: short read"); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[kv] dropping " + (dir / pkv_file_name(a)).string() + ": load_kv: short read\n");
    EXPECT_TRUE(got.failed);
    EXPECT_EQ(got.tokens, 0);
    EXPECT_TRUE(files().empty());
    EXPECT_TRUE(store.entries().empty());
}

TEST_F(SavedKvFiles, ScanTakesOnlyFilesOfThisModelAndContext) {
    {
        saved_kv_store other_model(dir, 64, cell_bytes * 2, n_ctx);
        other_model.scan();
        other_model.save(prompt_of(5, 1), [](std::ostream& out, int32_t n) { out << std::string(16 * n, 'x'); });
        saved_kv_store this_model(dir, 64, cell_bytes, n_ctx);
        this_model.scan();
        this_model.save(prompt_of(100, 500), cells_of(prompt_of(100, 500)));
    }
    saved_kv_store small_context(dir, 64, cell_bytes, 64);
    small_context.scan();
    EXPECT_TRUE(small_context.entries().empty());  // 100 tokens do not fit in 64
    saved_kv_store store(dir, 64, cell_bytes, n_ctx);
    testing::internal::CaptureStderr();
    store.scan();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(store.entries().size(), 1u);
    EXPECT_EQ(store.entries()[0].tokens, prompt_of(100, 500));
    EXPECT_EQ(files().size(), 2u);  // the other model's file is left alone
}

// A save that a crash interrupted leaves a .pkv.tmp file; the next start-up deletes it and nothing else.
TEST_F(SavedKvFiles, ScanDeletesFilesOfInterruptedSaves) {
    fs::create_directories(dir);
    for (const char* name : {"0123456789abcdef.pkv.tmp", "notes.tmp", "x.pkv.tmp.keep"})
        std::ofstream(dir / name) << "partial";
    saved_kv_store store(dir, 64, cell_bytes, n_ctx);
    store.scan();
    EXPECT_EQ(files(), (std::vector<std::string>{"notes.tmp", "x.pkv.tmp.keep"}));
    EXPECT_TRUE(store.entries().empty());
}

TEST_F(SavedKvFiles, OffTouchesNothing) {
    saved_kv_store store(dir, 0, cell_bytes, n_ctx);
    store.scan();
    EXPECT_FALSE(fs::exists(dir));
    bool written = false;
    store.save(prompt_of(4, 1), [&](std::ostream&, int32_t) { written = true; });
    EXPECT_FALSE(written);
    EXPECT_FALSE(fs::exists(dir));
}
