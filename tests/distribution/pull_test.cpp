// The parts of the pull that need no server: the listing filter, the state file, digests, the check of a copy on
// disk, the progress reports and the two text helpers.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "common/sha_hasher.h"
#include "distribution/cmd_pull.h"
#include "distribution/download_file.h"
#include "distribution/hub_listing.h"
#include "distribution/pull_state.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string empty_blob = "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391";
const std::string abc_sha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

json file_entry(const std::string& path, json size, const std::string& oid = "0123") {
    return {{"type", "file"}, {"path", path}, {"size", size}, {"oid", oid}};
}

json lfs_entry(const std::string& path, int64_t size, const std::string& sha256) {
    json e = file_entry(path, 133);
    e["lfs"] = {{"oid", sha256}, {"size", size}, {"pointerSize", 133}};
    return e;
}

std::vector<std::string> paths_of(const hub_listing& listing) {
    std::vector<std::string> out;
    for (const download_file& f : listing.files) out.push_back(f.path);
    return out;
}

int64_t steady_ns_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TEST(PullText, FormatSizeAndUrlEncode) {
    const struct {
        double bytes;
        const char* text;
    } sizes[] = {{0, "0.0 MB"},           {52400000, "52.4 MB"},         {999999999, "1000.0 MB"},
                 {1e9, "1.00 GB"},        {1500000000, "1.50 GB"},       {1e15, "1000000.00 GB"}};
    for (const auto& s : sizes) EXPECT_EQ(format_size(s.bytes), s.text) << s.bytes;

    const struct {
        const char* in;
        const char* out;
    } texts[] = {{"model-7.5_b~x", "model-7.5_b~x"}, {"a+b", "a%2Bb"}, {"a b/\xC3\xBC", "a%20b%2F%C3%BC"},
                 {"x@v2", "x%40v2"}, {"", ""}};
    for (const auto& t : texts) EXPECT_EQ(url_encode(t.in), t.out) << t.in;

    // Names from the Hub reach the terminal with their control characters spelled out.
    EXPECT_EQ(printable_name("core.gguf"), "core.gguf");
    EXPECT_EQ(printable_name("a\x1b[2Jb\r\n\x7f\\c\xC3\xBC"), "a\\x1b[2Jb\\x0d\\x0a\\x7f\\x5cc\xC3\xBC");
}

// A name whose part file name could not exist is left out on its own; 250 bytes still fit with ".part".
TEST(HubListing, OverLongNamesAreLeftOut) {
    const std::string fits(250, 'a'), too_long(251, 'b');
    const hub_listing listing = read_hub_listing(
        json::array({file_entry("manifest.json", 2), file_entry(fits, 1), file_entry(too_long, 1)}), false);
    EXPECT_EQ(paths_of(listing), (std::vector<std::string>{"manifest.json", fits}));
    EXPECT_EQ(listing.long_names, std::vector<std::string>{too_long});
}

TEST(HubListing, KeepsThePackFiles) {
    const json listing = {
        file_entry("README.md", 12, "aaa"),
        file_entry("manifest.json", 12.7, "bbb"), // a fractional size is cut
        lfs_entry("core.gguf", 300000, "c256"),
        lfs_entry("experts.bin", 5000000000, "e256"),
        lfs_entry("experts.lo.bin", 900, "l256"),
        lfs_entry("experts.lo.old", 10, "o256"),
        file_entry("hot.bin", 4),
        file_entry(".gitattributes", 4),
        {{"type", "directory"}, {"path", "docs"}, {"size", 0}, {"oid", "d"}},
        file_entry("docs/notes.md", 5),
        file_entry("..", 1),
        file_entry("x.part", 1),
        file_entry("y.tmp", 1),
        file_entry(".mivra-pull.json", 1),
        {{"type", "file"}, {"path", "sized.bin"}, {"size", 77}, {"lfs", {{"oid", "s256"}}}},
    };
    const hub_listing plain = read_hub_listing(listing, false);
    EXPECT_EQ(paths_of(plain),
              (std::vector<std::string>{"README.md", "manifest.json", "core.gguf", "experts.bin", "sized.bin"}));
    EXPECT_EQ(plain.odd_names, (std::vector<std::string>{"..", "x.part", "y.tmp", ".mivra-pull.json"}));
    EXPECT_TRUE(plain.has_manifest);
    EXPECT_FALSE(plain.has_lowbit);

    const download_file& manifest = plain.files[1];
    EXPECT_EQ(manifest.size, 12);
    EXPECT_EQ(manifest.git_oid, "bbb");
    EXPECT_EQ(expected_id(manifest), "bbb");
    const download_file& experts = plain.files[3];
    EXPECT_EQ(experts.size, 5000000000);
    EXPECT_EQ(experts.lfs_sha256, "e256");
    EXPECT_EQ(experts.git_oid, "");
    EXPECT_EQ(expected_id(experts), "e256");
    EXPECT_EQ(plain.files[4].size, 77) << "an lfs object without a size keeps the entry's size";

    const hub_listing lowbit = read_hub_listing(listing, true);
    EXPECT_EQ(paths_of(lowbit), (std::vector<std::string>{"README.md", "manifest.json", "core.gguf", "experts.bin",
                                                          "experts.lo.bin", "sized.bin"}));
    EXPECT_TRUE(lowbit.has_lowbit);
}

TEST(HubListing, MalformedEntries) {
    const struct {
        const char* what;
        json element;
    } cases[] = {
        {"file without a path", {{"type", "file"}, {"size", 1}, {"oid", "x"}}},
        {"path that is no string", {{"type", "file"}, {"path", 7}, {"size", 1}, {"oid", "x"}}},
        {"no size", {{"type", "file"}, {"path", "a"}, {"oid", "x"}}},
        {"size as text", file_entry("a", "12")},
        {"no oid", {{"type", "file"}, {"path", "a"}, {"size", 1}}},
        {"lfs without an oid", {{"type", "file"}, {"path", "a"}, {"size", 1}, {"lfs", {{"size", 1}}}}},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(read_hub_listing(json::array({c.element}), false), json::exception) << c.what;
    }
    EXPECT_THROW(read_hub_listing({{"error", "Repository not found"}}, false), json::exception);
    try {
        read_hub_listing(json::array({file_entry("a.bin", -5)}), false);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "a.bin: negative size in the Hub listing");
    }
    // Entries that are left out need nothing more than a type.
    EXPECT_TRUE(read_hub_listing(json::array({{{"type", "directory"}}, json::object()}), false).files.empty());
}

TEST(PullState, WrittenSortedWithTwoSpaces) {
    temp_folder dir;
    json state = {{"repo", "o/m@main"}, {"files", {{"core.gguf", {{"size", 3}, {"id", abc_sha256}}}}}};
    write_pull_state(dir.path, state);
    EXPECT_EQ(read_text(dir / ".mivra-pull.json"), "{\n"
                                                   "  \"files\": {\n"
                                                   "    \"core.gguf\": {\n"
                                                   "      \"id\": \"" + abc_sha256 + "\",\n"
                                                   "      \"size\": 3\n"
                                                   "    }\n"
                                                   "  },\n"
                                                   "  \"repo\": \"o/m@main\"\n"
                                                   "}");
    EXPECT_FALSE(fs::exists(dir / ".mivra-pull.json.tmp"));
    EXPECT_EQ(read_pull_state(dir.path), state);

    // What cannot be read counts as nothing recorded; any other JSON is returned as it is.
    const struct {
        const char* text;
        json value;
    } reads[] = {{"{", json::object()}, {"null", json::object()}, {"", json::object()}, {"[1]", json::array({1})},
                 {"\"x\"", "x"}};
    for (const auto& r : reads) {
        write_text(dir / ".mivra-pull.json", r.text);
        EXPECT_EQ(read_pull_state(dir.path), r.value) << r.text;
    }
    fs::remove(dir / ".mivra-pull.json");
    EXPECT_EQ(read_pull_state(dir.path), json::object());

    fs::create_directory(dir / ".mivra-pull.json.tmp");
    try {
        write_pull_state(dir.path, state);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot write " + (dir / ".mivra-pull.json.tmp").string());
    }
}

// Each recorded file costs one line appended to the log, not a rewrite of the state file; reading the state applies
// the log's complete lines (a line cut off by a crash is skipped), and writing the state absorbs and removes the log.
TEST(PullState, FilesAreRecordedInAnAppendOnlyLog) {
    temp_folder dir;
    json state = read_pull_state(dir.path);
    state["repo"] = "o/m@main";
    write_pull_state(dir.path, state);
    const std::string written = read_text(dir / ".mivra-pull.json");
    for (int i = 0; i < 500; ++i) {
        record_pulled_file(dir.path, state, "f" + std::to_string(i), "id" + std::to_string(i), uint64_t(i));
    }
    EXPECT_EQ(read_text(dir / ".mivra-pull.json"), written);
    const std::string log = read_text(dir / ".mivra-pull.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 500);
    EXPECT_EQ(log.substr(0, log.find('\n') + 1), "{\"id\":\"id0\",\"path\":\"f0\",\"size\":0}\n");

    // A crash in the middle of a line: everything before it is still recorded.
    std::ofstream(dir / ".mivra-pull.log", std::ios::app) << "{\"id\":\"x\",\"path\":\"cut\",\"si";
    const json after_crash = read_pull_state(dir.path);
    EXPECT_EQ(after_crash, state);
    EXPECT_EQ(after_crash["files"].size(), 500u);
    EXPECT_EQ(after_crash["files"]["f499"], (json{{"id", "id499"}, {"size", 499}}));

    compact_pull_state(dir.path, after_crash);
    EXPECT_FALSE(fs::exists(dir / ".mivra-pull.log"));
    EXPECT_EQ(read_pull_state(dir.path), state);
    EXPECT_EQ(json::parse(read_text(dir / ".mivra-pull.json")), state);
}

// The state's files are never written through a symbolic link planted in their place.
TEST(PullState, SymbolicLinksAreNotFollowed) {
    temp_folder dir;
    write_text(dir / "victim", "keep");
    fs::create_symlink(dir / "victim", dir / ".mivra-pull.json.tmp");
    fs::create_symlink(dir / "victim", dir / ".mivra-pull.log");
    json state = read_pull_state(dir.path);
    record_pulled_file(dir.path, state, "a", "id", 1);
    write_pull_state(dir.path, state);
    EXPECT_EQ(read_text(dir / "victim"), "keep");
    EXPECT_EQ(read_pull_state(dir.path)["files"]["a"]["id"], "id");
}

TEST(PullDigest, HashFile) {
    temp_folder dir;
    write_text(dir / "empty", "");
    write_text(dir / "abc", "abc");
    EXPECT_EQ(hash_file(dir / "empty", {"empty", "", "", 0}), empty_blob);
    EXPECT_EQ(hash_file(dir / "abc", {"abc", "x", "", 3}), abc_sha256);
    // Git's blob id of "abc" (git hash-object).
    EXPECT_EQ(hash_file(dir / "abc", {"abc", "", "", 3}), "f2ba8f84ab5c1bce84a7b441cb1959cfc7093b7f");
    EXPECT_EQ(hash_file(dir / "missing", {"missing", "", "", 0}), "");
}

TEST(PullCopyOnDisk, FileUpToDate) {
    temp_folder dir;
    write_text(dir / "abc", "abc");
    const download_file lfs{"abc", abc_sha256, "", 3};
    const json recorded = {{"abc", {{"id", abc_sha256}, {"size", 3}}}};
    const json other = {{"abc", {{"id", "other"}, {"size", 3}}}};
    const struct {
        const char* what;
        download_file file;
        json files;
        bool up_to_date;
        bool records;
    } cases[] = {
        {"nothing on disk", {"missing", abc_sha256, "", 3}, json::object(), false, false},
        {"other size", {"abc", abc_sha256, "", 4}, recorded, false, false},
        {"recorded with the Hub's id", lfs, recorded, true, false},
        {"recorded with another id", lfs, other, false, false},
        {"unrecorded, right content", lfs, json::object(), true, true},
        {"unrecorded, wrong content", {"abc", std::string(64, '0'), "", 3}, json::object(), false, false},
        {"unrecorded Git file", {"abc", "", "f2ba8f84ab5c1bce84a7b441cb1959cfc7093b7f", 3}, json::object(), true, true},
    };
    for (const auto& c : cases) {
        fs::remove(dir / ".mivra-pull.log");
        json state = {{"files", c.files}, {"repo", "o/m@main"}};
        EXPECT_EQ(file_up_to_date(c.file, dir.path, state), c.up_to_date) << c.what;
        // A file found correct is recorded at once, in the pull log.
        EXPECT_EQ(fs::exists(dir / ".mivra-pull.log"), c.records) << c.what;
        if (c.records) {
            EXPECT_EQ(state["files"][c.file.path], json({{"id", expected_id(c.file)}, {"size", 3}})) << c.what;
            EXPECT_EQ(read_pull_state(dir.path)["files"], state["files"]) << c.what;
        }
    }
    // A recorded file is trusted without being read: its content no longer matters.
    write_text(dir / "abc", "xyz");
    json state = {{"files", recorded}};
    EXPECT_TRUE(file_up_to_date(lfs, dir.path, state));
}

TEST(PullCopyOnDisk, LargeFilesAnnounceTheCheck) {
    temp_folder dir;
    const int64_t size = (int64_t{64} << 20) + 1;
    {
        std::ofstream out(dir / "big.bin", std::ios::binary);
    }
    fs::resize_file(dir / "big.bin", static_cast<uintmax_t>(size));
    sha_hasher zeros(sha_algorithm::sha256);
    const std::string block(1 << 20, '\0');
    for (int64_t left = size; left > 0; left -= static_cast<int64_t>(block.size())) {
        zeros.update(block.data(), static_cast<size_t>(std::min<int64_t>(left, block.size())));
    }
    const download_file big{"big.bin", zeros.finish_hex(), "", size};
    const download_file small{"small", "", empty_blob, 0};
    write_text(dir / "small", "");

    json state = {{"files", json::object()}};
    testing::internal::CaptureStderr();
    EXPECT_TRUE(file_up_to_date(small, dir.path, state));
    EXPECT_TRUE(file_up_to_date(big, dir.path, state));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "  big.bin                checking the copy already on disk...\n");
}

TEST(PullProgress, ConsoleLineShowsSpeedAndTimeLeft) {
    set_gui_progress(false);
    download_progress progress{steady_ns_now() - 2'000'000'000, 0, 0};
    testing::internal::CaptureStderr();
    report_progress(progress, "experts.bin", 2000000, 10000000, false);
    report_progress(progress, "experts.bin", 3000000, 10000000, false); // within 0.5 s: held back
    report_progress(progress, "experts.bin", 10000000, 10000000, true); // the final report always comes
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string first = "\r  experts.bin            2.0 MB / 10.0 MB  1.0 MB/s  0m08s left      ";
    ASSERT_EQ(err.substr(0, first.size()), first);
    EXPECT_EQ(err.substr(first.size()), "\r  experts.bin            10.0 MB / 10.0 MB  5.0 MB/s      ");

    // Time left in minutes: 600 MB more at 1 MB/s.
    download_progress slow{steady_ns_now() - 1'000'000'000, 0, 0};
    testing::internal::CaptureStderr();
    report_progress(slow, "core.gguf", 1000000, 601500000, false);
    EXPECT_TRUE(testing::internal::GetCapturedStderr().find("  10m00s left      ") != std::string::npos);
}

TEST(PullProgress, LauncherEventsCountThisRunOnly) {
    set_gui_progress(true);
    pull_need_bytes = 9000000;
    pull_done_bytes = 1000000;
    // 4 MB were in the part file before; 2 MB came in the 2 s since.
    download_progress progress{steady_ns_now() - 2'000'000'000, 0, 4000000};
    testing::internal::CaptureStdout();
    report_progress(progress, "experts.bin", 6000000, 8000000, false);
    report_progress(progress, "experts.bin", 7000000, 8000000, false); // within 0.3 s: held back
    const std::string out = testing::internal::GetCapturedStdout();
    set_gui_progress(false);
    ASSERT_EQ(out.back(), '\n');
    const json event = json::parse(out);
    const uint64_t rate = event["rate"];
    EXPECT_GT(rate, 900000u);
    EXPECT_LE(rate, 1000000u);
    EXPECT_EQ(event, json({{"type", "progress"},
                           {"file", "experts.bin"},
                           {"done", 6000000},
                           {"total", 8000000},
                           {"rate", rate},
                           {"all_done", 3000000},
                           {"all_total", 9000000}}));
}
