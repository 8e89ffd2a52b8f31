// `mivra pull` when things go wrong: a cut connection, servers that do not honour a resume request, files the Hub
// does not serve, corrupt bytes, full disks and failing writes, repos that are not packs, broken listings and state
// files, and a pull interrupted from the keyboard. Retries run in pull_driver, which does not wait between attempts.
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <functional>

#include "pull_hub_fixture.h"

using namespace pull_test;

namespace {

const std::string ignored = "server ignored the resume request";

// The retry lines of attempts 1 to 7 that all failed with `text`, as they appear on stderr.
std::string retry_lines(const std::string& text) {
    std::string out;
    const int waits[] = {2, 4, 8, 16, 30, 30, 30};
    for (int attempt = 1; attempt <= 7; ++attempt) {
        out += "\n  " + text + ", retrying in " + std::to_string(waits[attempt - 1]) + " s (" +
               std::to_string(attempt) + "/8)\nwait " + std::to_string(waits[attempt - 1]) + "\n";
    }
    return out;
}

// Starts a program, sends it SIGINT once its stderr holds `marker`, and collects its output until it ends.
child_result interrupt_when(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            const std::string& marker) {
    child_spec spec;
    spec.argv = argv;
    spec.env = env;
    spec.err = child_stream::pipe();
    child_process child = spawn_child(spec);
    child_result result;
    bool sent = false;
    char buf[4096];
    for (ssize_t n; (n = read(child.stderr_fd(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        result.err.append(buf, static_cast<size_t>(n));
        if (!sent && contains(result.err, marker)) {
            child.signal(SIGINT);
            sent = true;
        }
    }
    result.exit_code = child.reap();
    return result;
}

}  // namespace

TEST_F(PullHub, CutConnectionResumesWithARangeRequest) {
    const auto files = standard_pack();
    put_all("o/m", files);

    const child_result r = pull({"o/m", pack().string()}, "cut=3145728");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "\n  connection lost (error ")) << r.err;
    EXPECT_TRUE(contains(r.err, "), retrying in 2 s (1/8)\nwait 2\n"));
    EXPECT_EQ(count_of(r.err, "retrying"), 1u);
    const std::vector<json> seen = file_requests("experts.bin");
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1]["range"], "");
    EXPECT_EQ(seen[2]["range"], "bytes=3145728-");
    EXPECT_EQ(seen[3]["range"], "bytes=3145728-");
    EXPECT_TRUE(holds(packed("experts.bin"), files.at("experts.bin")));
    EXPECT_EQ(json::parse(read_text(packed(".mivra-pull.json")))["files"]["experts.bin"]["id"],
              sha256_hex(files.at("experts.bin")));
}

TEST_F(PullHub, FileThatKeepsFailingIsGivenUpAfterEightAttempts) {
    const auto files = standard_pack();
    const std::string seed = files.at("experts.bin").substr(0, 1 << 20);
    const struct {
        std::string faults;
        std::string text;
        bool seeded;
    } cases[] = {
        {"ignore_range", ignored, true},
        {"bad_range", ignored, true},
        {"missing=experts.bin",
         "HTTP 404, not found: " + endpoint("missing=experts.bin") + "/o/m/resolve/main/experts.bin", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        fs::remove_all(hub());
        fs::remove_all(pack());
        put_all("o/m", files);
        fs::create_directories(pack());
        if (c.seeded) write_text(packed("experts.bin.part"), seed);

        const child_result r = pull({"o/m", pack().string()}, c.faults);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.err, retry_lines(c.text) + "\nerror: " + c.text + "\n")) << r.err;
        EXPECT_EQ(count_of(r.err, "retrying"), 7u);
        EXPECT_FALSE(fs::exists(packed("experts.bin")));
        if (c.seeded) {
            EXPECT_TRUE(holds(packed("experts.bin.part"), seed));
            const std::vector<json> seen = file_requests("experts.bin");
            EXPECT_EQ(seen.size(), 16u);
            for (const json& request : seen) EXPECT_EQ(request["range"], "bytes=1048576-");
        }
        // The files before it are in place and recorded.
        const json state = json::parse(read_text(packed(".mivra-pull.json")));
        EXPECT_EQ(state["files"].size(), 3u);
        EXPECT_TRUE(holds(packed("core.gguf"), files.at("core.gguf")));
    }
}

TEST_F(PullHub, CorruptFileIsDeleted) {
    const auto files = standard_pack();
    for (const std::string name : {"experts.bin", "manifest.json"}) {
        SCOPED_TRACE(name);
        fs::remove_all(pack());
        put_all("o/m", files);
        std::string bad = files.at(name);
        bad[bad.size() / 2] = static_cast<char>(bad[bad.size() / 2] ^ 0xff);

        const child_result r = pull({"o/m", pack().string()}, "corrupt=" + name);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(ends_with(r.err, "\nerror: " + name + ": checksum mismatch (got " + hub_id(name, bad) +
                                         ", expected " + hub_id(name, files.at(name)) +
                                         "); the partial file was deleted, run mivra pull again\n"))
            << r.err;
        EXPECT_FALSE(fs::exists(packed(name)));
        EXPECT_FALSE(fs::exists(packed(name + ".part")));
    }
}

TEST_F(PullHub, RepoWithoutManifestIsRefused) {
    put_all("o/x", {{"README.md", "r"}, {"weights.bin", pattern_bytes(1000, 4)}});

    const child_result refused = pull({"o/x", pack().string()});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err, "\nerror: o/x has no manifest.json at its root, so it is not a Mivra pack\n");
    EXPECT_FALSE(fs::exists(pack()));
    EXPECT_EQ(requests().size(), 1u);

    const child_result any = pull({"o/x", "--any-repo", pack().string()});
    EXPECT_EQ(any.exit_code, 0) << any.err;
    EXPECT_TRUE(holds(packed("weights.bin"), pattern_bytes(1000, 4)));
}

TEST_F(PullHub, FailuresBeforeAnyDownload) {
    const std::string manifest = "{}";
    const json manifest_entry = {{"type", "file"}, {"path", "manifest.json"}, {"size", 2}, {"oid", git_blob_id("{}")}};
    const struct {
        const char* what;
        std::string faults;
        std::function<void()> setup;
        std::string error_start;
    } cases[] = {
        {"private repo", "status=401", [&] { put("o/m", "main", "manifest.json", manifest); },
         "HTTP 401: no such repo, or it is private/gated (then set HF_TOKEN to a Hugging Face access token)\n"},
        {"no such repo", "-", [] {}, "HTTP 404, not found: " + endpoint() + "/api/models/o/m/tree/main\n"},
        {"listing is not JSON", "-", [&] {
             fs::create_directories(hub() / "o" / "m");
             write_text(hub() / "o" / "m" / "tree-main.json", "<html>");
         },
         "[json.exception.parse_error.101]"},
        {"listed file without a size", "-",
         [&] { put_listing("o/m", {manifest_entry, {{"type", "file"}, {"path", "a.bin"}, {"oid", "x"}}}); },
         "[json.exception.out_of_range.403]"},
        {"negative size", "-",
         [&] {
             put_listing("o/m", {manifest_entry, {{"type", "file"}, {"path", "a.bin"}, {"size", -5}, {"oid", "x"}}});
         },
         "a.bin: negative size in the Hub listing\n"},
        {"state file holds an array", "-",
         [&] {
             put("o/m", "main", "manifest.json", manifest);
             fs::create_directories(pack());
             write_text(packed(".mivra-pull.json"), "[1]");
         },
         "[json.exception.type_error.305]"},
        {"not enough room", "-",
         [&] {
             put_listing("o/m", {manifest_entry,
                                 {{"type", "file"},
                                  {"path", "huge.bin"},
                                  {"size", 1000000000000000},
                                  {"oid", "x"},
                                  {"lfs", {{"oid", std::string(64, 'a')}}}}});
         },
         "not enough free disk space on that drive (1000000.00 GB needed)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(hub());
        fs::remove_all(pack());
        fs::create_directories(hub());
        c.setup();
        const child_result r = pull({"o/m", pack().string()}, c.faults);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.err, "\nerror: " + c.error_start)) << r.err;
        EXPECT_EQ(requests().size(), 1u) << "nothing but the listing is asked for";
    }
    // The free-space test comes after the plan is shown.
    EXPECT_TRUE(contains(pull({"o/m", pack().string()}).err,
                         "downloading o/m: 2 of 2 files, 1000000.00 GB to download ("));
}

TEST_F(PullHub, FailedWritesLeaveOnlyGoodBytes) {
    const auto files = standard_pack();
    put_all("o/m", files);
    const std::string fault_at = std::to_string(3145728 + 12345);

    // One short write: the attempt after it continues behind the last good byte.
    const child_result once = pull({"o/m", pack().string()}, "-", {"MIVRA_TEST_WRITE_FAULT=" + fault_at + ",once"});
    ASSERT_EQ(once.exit_code, 0) << once.err;
    EXPECT_TRUE(contains(once.err, "\n  write failed (disk full?), retrying in 2 s (1/8)\n")) << once.err;
    EXPECT_TRUE(holds(packed("experts.bin"), files.at("experts.bin")));

    // A disk that stays full: after the last attempt the part file ends at the last byte that was hashed.
    fs::remove_all(pack());
    const child_result full = pull({"o/m", pack().string()}, "-", {"MIVRA_TEST_WRITE_FAULT=" + fault_at});
    EXPECT_EQ(full.exit_code, 1);
    EXPECT_TRUE(ends_with(full.err, "\nerror: write failed (disk full?)\n")) << full.err;
    EXPECT_EQ(count_of(full.err, "write fault at "), 8u);
    const size_t last = full.err.rfind("write fault at ");
    const uint64_t good = std::stoull(full.err.substr(last + 15));
    const std::string part = read_text(packed("experts.bin.part"));
    EXPECT_EQ(part.size(), good);
    EXPECT_LT(part.size(), std::stoull(fault_at));
    EXPECT_TRUE(part == files.at("experts.bin").substr(0, part.size()));

    const child_result resumed = pull({"o/m", pack().string()});
    ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
    EXPECT_EQ(file_requests("experts.bin").back()["range"], "bytes=" + std::to_string(good) + "-");
    EXPECT_TRUE(holds(packed("experts.bin"), files.at("experts.bin")));
}

TEST_F(PullHub, InterruptedPullEndsWith130AndContinuesLater) {
    const auto files = standard_pack();
    put_all("o/m", files);
    const std::vector<std::string> env = {"MIVRA_CA_FILE=" + server->ca_file(), "HF_ENDPOINT=" + endpoint("cut=3145728"),
                                          "HOME=" + tmp.path.string()};

    // The real program waits 2 s before its second attempt; the interruption comes in that wait.
    const child_result stopped =
        interrupt_when({mivra_program, "pull", "o/m", pack().string()}, env, "retrying in 2 s (1/8)");
    EXPECT_EQ(stopped.exit_code, 130) << stopped.err;
    EXPECT_TRUE(ends_with(stopped.err, "\n  Stopping Mivra.\n")) << stopped.err;
    EXPECT_FALSE(fs::exists(packed("experts.bin")));
    const uint64_t kept = fs::file_size(packed("experts.bin.part"));
    EXPECT_EQ(kept, 3145728u);

    const child_result resumed = run(mivra_program, {"pull", "o/m", pack().string()});
    ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
    EXPECT_TRUE(contains(resumed.err, "  experts.bin            checking 3.1 MB downloaded earlier...\n"));
    EXPECT_TRUE(contains(resumed.err, "downloading o/m: 1 of 4 files, 7.3 MB to download ("));
    EXPECT_EQ(file_requests("experts.bin").back()["range"], "bytes=3145728-");
    EXPECT_TRUE(holds(packed("experts.bin"), files.at("experts.bin")));
}
