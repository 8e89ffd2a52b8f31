// The saved prompt KV store on a packed fixture model: file names and layout, restore after a restart with the same
// greedy text, superseded and covering files, damaged and foreign files, the disk budget, and `mivra run` end to end.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/runtime/engine.h"
#include "engine/runtime/engine_test_pack.h"
#include "cli/run_child.h"

namespace fs = std::filesystem;

namespace {

const sampling_params greedy{};

std::vector<int32_t> synthetic_prompt(size_t n, int32_t salt) {
    std::vector<int32_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = 1000 + int32_t((i * 7919 + size_t(salt) * 104729) % 20000);
    return p;
}

struct outcome {
    std::string text;
    generation_stats stats;
};

outcome generate(engine& e, const std::vector<int32_t>& prompt, int32_t n = 8) {
    outcome o;
    o.stats = e.generate(prompt, n, greedy, {}, [&](const token_text& piece) {
        o.text += piece.str();
        return true;
    });
    return o;
}

engine_options store_options(const test_pack& pack, uint64_t kv_disk_mb = 4096, int32_t n_ctx = 1024) {
    engine_options o = test_engine_options(pack, 1, n_ctx);
    o.n_threads = 1;
    o.io_threads = 1;
    o.kv_disk_mb = kv_disk_mb;
    return o;
}

// The .pkv files of the pack's kv folder, by name.
std::vector<std::string> pkv_files(const test_pack& pack) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& de : fs::directory_iterator(fs::path(pack.dir) / "kv", ec)) {
        names.push_back(de.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

fs::path pkv_path(const test_pack& pack, const std::vector<int32_t>& prompt) {
    return fs::path(pack.dir) / "kv" / pkv_file_name(prompt);
}

class SavedKvStore : public testing::Test {
protected:
    const test_pack& pack = fixture_pack("qwen3moe");
    void SetUp() override { fs::remove_all(fs::path(pack.dir) / "kv"); }
    void TearDown() override { fs::remove_all(fs::path(pack.dir) / "kv"); }
};

}  // namespace

TEST(PkvFileName, HashesTokenIdsAsUnsigned32BitValues) {
    const struct {
        std::vector<int32_t> tokens;
        const char* name;
    } cases[] = {
        {{1, 2, 3}, "a094014f35a4929d.pkv"},
        {{-1}, "0ab624fe8c3306b4.pkv"},  // id 0xFFFFFFFF
        {{}, "14650fb0739d0383.pkv"},
    };
    for (const auto& c : cases) EXPECT_EQ(pkv_file_name(c.tokens), c.name);
}

// One request writes its prompt's file; a restarted engine reads all but the last cell from it and says the same.
TEST_F(SavedKvStore, RestartReadsThePromptFromDiskWithTheSameText) {
    const std::vector<int32_t> prompt = synthetic_prompt(40, 1);
    outcome first;
    {
        engine e(store_options(pack));
        first = generate(e, prompt);
        EXPECT_EQ(first.stats.disk_tokens, 0);
    }
    ASSERT_EQ(pkv_files(pack), std::vector<std::string>{pkv_file_name(prompt)});

    engine e(store_options(pack));
    ASSERT_EQ(e.saved_kvs().entries().size(), 1u);

    // Layout: header, token ids, then n_layer * 2 blocks of n cells (n_head_kv * head_dim F16 values each).
    std::ifstream in(pkv_path(pack, prompt), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const model_hparams& hp = e.runner->hparams;
    const uint64_t cell = uint64_t(hp.n_layer) * hp.n_head_kv * hp.head_dim * 4;
    ASSERT_EQ(bytes.size(), 16 + 4 * prompt.size() + prompt.size() * cell);
    EXPECT_EQ(std::memcmp(bytes.data(), "PKV1", 4), 0);
    uint32_t n_tokens = 0;
    uint64_t per_cell = 0;
    std::memcpy(&n_tokens, bytes.data() + 4, 4);
    std::memcpy(&per_cell, bytes.data() + 8, 8);
    EXPECT_EQ(n_tokens, prompt.size());
    EXPECT_EQ(per_cell, cell);
    EXPECT_EQ(std::memcmp(bytes.data() + 16, prompt.data(), 4 * prompt.size()), 0);

    const outcome again = generate(e, prompt);
    EXPECT_EQ(again.stats.disk_tokens, int32_t(prompt.size()) - 1);
    EXPECT_EQ(again.stats.reused_tokens, int32_t(prompt.size()) - 1);
    EXPECT_EQ(again.text, first.text);

    // A longer prompt that starts with the saved one: a prefix of it comes from disk, the longer file replaces it.
    std::vector<int32_t> longer = prompt;
    for (int32_t t : synthetic_prompt(20, 2)) longer.push_back(t);
    const outcome extended = generate(e, longer);  // the slot holds the prompt: no disk read needed
    EXPECT_EQ(extended.stats.disk_tokens, 0);
    EXPECT_EQ(pkv_files(pack), std::vector<std::string>{pkv_file_name(longer)});

    // The shorter prompt again is covered by the longer file: nothing is written.
    const fs::file_time_type longer_time = fs::last_write_time(pkv_path(pack, longer));
    generate(e, prompt);
    EXPECT_EQ(pkv_files(pack), std::vector<std::string>{pkv_file_name(longer)});
    EXPECT_EQ(fs::last_write_time(pkv_path(pack, longer)), longer_time);
}

// Damaged files found at admission are dropped and deleted and the prompt is evaluated in full with the same text;
// files of another model are skipped at start-up and left alone.
TEST_F(SavedKvStore, DropsDamagedFilesAndSkipsForeignOnes) {
    const std::vector<int32_t> prompt = synthetic_prompt(30, 3);
    // Shares 20 tokens with the saved prompt, so admission reads the saved file.
    std::vector<int32_t> other(prompt.begin(), prompt.begin() + 20);
    for (int32_t t : synthetic_prompt(12, 9)) other.push_back(t);
    std::string want;
    {
        engine e(store_options(pack, 0));
        want = generate(e, other).text;
    }
    {
        engine e(store_options(pack));
        generate(e, prompt);
    }
    const fs::path file = pkv_path(pack, prompt);
    std::vector<char> intact;
    {
        std::ifstream in(file, std::ios::binary);
        intact.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const fs::path foreign = fs::path(pack.dir) / "kv" / "0000000000000001.pkv";
    {
        std::vector<char> bytes = intact;
        bytes[8] ^= 1;  // kv_bytes_per_cell of another model
        std::ofstream(foreign, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    }

    const struct {
        const char* what;
        void (*damage)(const fs::path&);
    } damages[] = {
        {"short cells", [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); }},
        {"changed token", [](const fs::path& p) {
             std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
             f.seekp(16);
             const int32_t changed = 7;
             f.write(reinterpret_cast<const char*>(&changed), 4);
         }},
        {"removed", [](const fs::path& p) { fs::remove(p); }},
        // Well-formed, but every cell an F16 NaN (0x7E00): trusting it would turn the answer into garbage.
        {"NaN cells", [](const fs::path& p) {
             const size_t cells_at = 16 + 4 * 30;
             std::string nan;
             for (size_t i = cells_at, end = fs::file_size(p); i + 1 < end; i += 2) nan += std::string("\x00\x7e", 2);
             std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
             f.seekp(std::streamoff(cells_at));
             f.write(nan.data(), std::streamsize(nan.size()));
         }},
    };
    for (const auto& d : damages) {
        SCOPED_TRACE(d.what);
        std::ofstream(file, std::ios::binary | std::ios::trunc).write(intact.data(), std::streamsize(intact.size()));
        {
            engine e(store_options(pack));  // scanned while intact; the foreign file is not taken
            ASSERT_EQ(e.saved_kvs().entries().size(), 1u);
            d.damage(file);
            const outcome o = generate(e, other);
            EXPECT_EQ(o.stats.disk_tokens, 0);
            EXPECT_EQ(o.stats.reused_tokens, 0);
            EXPECT_EQ(o.text, want);
            // The damaged file is gone from disk and index; this request's own file is in its place.
            ASSERT_EQ(e.saved_kvs().entries().size(), 1u);
            EXPECT_EQ(e.saved_kvs().entries()[0].tokens, other);
        }
        EXPECT_FALSE(fs::exists(file));
        EXPECT_TRUE(fs::exists(foreign));
        fs::remove(pkv_path(pack, other));
    }
}

// A budget of 1 MiB with files of about 1 MiB each: the newest stays even alone over the budget, older ones go.
TEST_F(SavedKvStore, BudgetKeepsTheNewestFiles) {
    engine e(store_options(pack, 1, 8192));
    const uint64_t cell = uint64_t(e.runner->hparams.n_layer) * e.runner->hparams.n_head_kv *
                          e.runner->hparams.head_dim * 4;
    const size_t n = size_t((uint64_t(1) << 20) / (cell + 4) + 8);  // just over 1 MiB per file
    ASSERT_LT(n + 8, size_t(e.n_ctx()));
    const std::vector<int32_t> a = synthetic_prompt(n, 4), b = synthetic_prompt(n, 5);
    generate(e, a, 1);
    EXPECT_EQ(pkv_files(pack), std::vector<std::string>{pkv_file_name(a)});
    generate(e, b, 1);
    EXPECT_EQ(pkv_files(pack), std::vector<std::string>{pkv_file_name(b)});
    ASSERT_EQ(e.saved_kvs().entries().size(), 1u);
    EXPECT_EQ(e.saved_kvs().entries()[0].tokens, b);
}

TEST_F(SavedKvStore, OffWritesAndReadsNothing) {
    const std::vector<int32_t> prompt = synthetic_prompt(20, 6);
    {
        engine e(store_options(pack));
        generate(e, prompt);
    }
    engine e(store_options(pack, 0));
    EXPECT_TRUE(e.saved_kvs().entries().empty());
    EXPECT_EQ(generate(e, prompt).stats.disk_tokens, 0);
    generate(e, synthetic_prompt(20, 7));
    EXPECT_EQ(pkv_files(pack), std::vector<std::string>{pkv_file_name(prompt)});
}

// The start-up scan takes readable .pkv files of this model, oldest first, deletes the .pkv.tmp file of a save that a
// crash interrupted, and leaves everything else alone.
TEST_F(SavedKvStore, ScanTakesReadableFilesOldestFirst) {
    const std::vector<int32_t> a = synthetic_prompt(12, 10), b = synthetic_prompt(14, 11);
    {
        engine e(store_options(pack));
        generate(e, a, 1);
        generate(e, b, 1);
    }
    const fs::path kv = fs::path(pack.dir) / "kv";
    // a is made the newer one, so the index must come out b, a.
    fs::last_write_time(pkv_path(pack, b), fs::file_time_type::clock::now() - std::chrono::hours(1));
    fs::copy_file(pkv_path(pack, a), kv / "0000000000000002.PKV");      // extension is case-sensitive
    fs::copy_file(pkv_path(pack, a), kv / "0000000000000003.pkv.tmp");  // a write that a crash cut off
    fs::create_directory(kv / "0000000000000004.pkv");
    fs::create_symlink(kv / "vanished", kv / "0000000000000005.pkv");   // gone between listing and opening
    {
        std::ifstream in(pkv_path(pack, a), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const uint32_t too_many = 1u << 20;  // more tokens than the context
        std::memcpy(bytes.data() + 4, &too_many, 4);
        std::ofstream(kv / "0000000000000006.pkv", std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
        std::ofstream(kv / "0000000000000007.pkv", std::ios::binary).write(bytes.data(), 10);  // short header
    }
    const size_t on_disk = pkv_files(pack).size();

    engine e(store_options(pack));
    ASSERT_EQ(e.saved_kvs().entries().size(), 2u);
    EXPECT_EQ(e.saved_kvs().entries()[0].tokens, b);
    EXPECT_EQ(e.saved_kvs().entries()[0].path, pkv_path(pack, b).string());
    EXPECT_EQ(e.saved_kvs().entries()[1].tokens, a);
    EXPECT_FALSE(fs::exists(kv / "0000000000000003.pkv.tmp"));
    EXPECT_EQ(pkv_files(pack).size(), on_disk - 1);

    // Using b moves it to the back: the least recently used is evicted first.
    std::vector<int32_t> b_more = b;
    b_more.push_back(b.back());
    EXPECT_EQ(generate(e, b_more, 1).stats.disk_tokens, int32_t(b.size()));
    ASSERT_EQ(e.saved_kvs().entries().size(), 2u);
    EXPECT_EQ(e.saved_kvs().entries()[0].tokens, a);
    EXPECT_EQ(e.saved_kvs().entries()[1].tokens, b_more);  // the longer prompt replaced b's file
    EXPECT_FALSE(fs::exists(pkv_path(pack, b)));
}

// A pack whose kv folder cannot exist (here a file of that name) runs without the store.
TEST_F(SavedKvStore, PackWithoutAKvFolderStillRuns) {
    std::ofstream(fs::path(pack.dir) / "kv") << "not a folder";
    engine e(store_options(pack));
    EXPECT_TRUE(e.saved_kvs().entries().empty());
    const outcome o = generate(e, synthetic_prompt(20, 8));
    EXPECT_FALSE(o.text.empty());
    EXPECT_TRUE(e.saved_kvs().entries().empty());
    EXPECT_TRUE(fs::is_regular_file(fs::path(pack.dir) / "kv"));
}

// `mivra run` twice with the same prompt: the second reads all but one prompt token from disk and prints the same;
// a damaged file is dropped with its message, deleted, and the text is still the same.
TEST_F(SavedKvStore, RunCommandRestoresAndDropsDamagedFiles) {
    const std::vector<std::string> args = {program_path("mivra"), "run", pack.dir, "-p", "Write about caching.",
                                           "-n", "12", "-t", "1", "-c", "1024", "--cache-mb", "64"};
    const child_result first = run_child(args);
    ASSERT_EQ(first.exit_code, 0) << first.err;
    const std::vector<std::string> files = pkv_files(pack);
    ASSERT_EQ(files.size(), 1u);
    const fs::path file = fs::path(pack.dir) / "kv" / files[0];
    std::vector<int32_t> tokens;
    {
        std::ifstream in(file, std::ios::binary);
        uint32_t n = 0;
        in.seekg(4);
        in.read(reinterpret_cast<char*>(&n), 4);
        tokens.resize(n);
        in.seekg(16);
        in.read(reinterpret_cast<char*>(tokens.data()), std::streamsize(4 * n));
    }
    EXPECT_EQ(files[0], pkv_file_name(tokens));

    const child_result second = run_child(args);
    ASSERT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(second.out, first.out);
    EXPECT_NE(second.err.find("1 saved prompt KVs in " + (fs::path(pack.dir) / "kv").string() + "\n"),
              std::string::npos) << second.err;
    EXPECT_NE(second.err.find("[kv] read " + std::to_string(tokens.size() - 1) + " prompt tokens from disk in "),
              std::string::npos) << second.err;

    // The header promises more cells than the file holds: the scan takes it, the read fails, the file goes (and
    // this run writes it again, whole).
    const uintmax_t size = fs::file_size(file);
    fs::resize_file(file, size / 2);
    const child_result damaged = run_child(args);
    ASSERT_EQ(damaged.exit_code, 0) << damaged.err;
    EXPECT_EQ(damaged.out, first.out);
    EXPECT_NE(damaged.err.find("[kv] dropping " + file.string() + ": load_kv: short read\n"), std::string::npos)
        << damaged.err;
    EXPECT_EQ(damaged.err.find("[kv] read "), std::string::npos) << damaged.err;
    EXPECT_EQ(fs::file_size(file), size);
}
