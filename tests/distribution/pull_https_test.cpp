// `mivra pull` against the imitation of the Hub: what a pull fetches and where it puts it, the state file, what a
// second pull and an update do, part files left by earlier runs, copies made by hand, the launcher events and the
// token.
#include "pull_hub_fixture.h"

using namespace pull_test;

namespace {

const std::vector<std::string> pack_files = {"README.md", "manifest.json", "core.gguf", "experts.bin"};

// 12 + 16 + 300000 + 10485760 bytes
const uint64_t pack_bytes = 10785788;

json state_of(const std::map<std::string, std::string>& files, const std::vector<std::string>& names,
              const std::string& repo) {
    json state = {{"files", json::object()}, {"repo", repo}};
    for (const std::string& name : names) {
        state["files"][name] = {{"id", hub_id(name, files.at(name))}, {"size", files.at(name).size()}};
    }
    return state;
}

std::vector<json> json_lines(const std::string& text) {
    std::vector<json> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(json::parse(text.substr(start, end - start)));
    }
    EXPECT_EQ(start, text.size()) << "stdout ends without a line end";
    return out;
}

}  // namespace

TEST_F(PullHub, PullsThePackThenFindsItUpToDate) {
    const auto files = standard_pack();
    put_all("o/m", files);
    const std::string dir = pack().string();

    const child_result first = run(mivra_program, {"pull", "o/m", dir});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(pack_names(), (std::vector<std::string>{".mivra-pull.json", "README.md", "core.gguf", "experts.bin",
                                                      "manifest.json"}));
    for (const std::string& name : pack_files) EXPECT_TRUE(holds(packed(name), files.at(name))) << name;
    EXPECT_EQ(read_text(packed(".mivra-pull.json")), state_of(files, pack_files, "o/m@main").dump(2));
    EXPECT_EQ(first.err.rfind("downloading o/m: 4 of 4 files, 10.8 MB to download (", 0), 0u) << first.err;
    EXPECT_TRUE(ends_with(first.err, "done. Start it with:  mivra serve \"" + dir + "\"\n")) << first.err;

    // One listing, then the files smallest first; LFS files come from the CDN host, the others from the Hub.
    const std::vector<json> seen = requests();
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_TRUE(ends_with(seen[0]["path"], "/api/models/o/m/tree/main"));
    const std::string port = std::to_string(server->port());
    const std::vector<std::pair<std::string, std::string>> order = {
        {"resolve", "README.md"}, {"resolve", "manifest.json"}, {"resolve", "core.gguf"}, {"cdn", "core.gguf"},
        {"resolve", "experts.bin"}, {"cdn", "experts.bin"}};
    for (size_t i = 0; i < order.size(); ++i) {
        const json& r = seen[i + 1];
        EXPECT_EQ(r["where"], order[i].first) << i;
        EXPECT_TRUE(ends_with(r["path"], "/" + order[i].second)) << r.dump();
        EXPECT_EQ(r["host"], (order[i].first == "cdn" ? "localhost:" : "127.0.0.1:") + port);
        EXPECT_EQ(r["range"], "");
    }

    const child_result second = run(mivra_program, {"pull", "o/m", dir});
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(second.err, "o/m is up to date (10.8 MB)\nStart it with:  mivra serve \"" + dir + "\"\n");
    ASSERT_EQ(requests().size(), 8u) << "only the listing is asked for";
    EXPECT_EQ(requests().back()["where"], "api");

    const child_result lowbit = run(mivra_program, {"pull", "--lowbit", "o/m", dir});
    EXPECT_EQ(lowbit.exit_code, 0) << lowbit.err;
    EXPECT_TRUE(contains(lowbit.err, "downloading o/m: 1 of 5 files, 0.1 MB to download (")) << lowbit.err;
    EXPECT_TRUE(holds(packed("experts.lo.bin"), files.at("experts.lo.bin")));
    EXPECT_EQ(json::parse(read_text(packed(".mivra-pull.json")))["files"]["experts.lo.bin"]["size"], 100000);
}

TEST_F(PullHub, DefaultFolderAndRevision) {
    // The default pack folder is "models" beside the program, so the program runs from a folder of this test.
    const fs::path program = tmp / "prog" / "pull_driver";
    fs::create_directories(program.parent_path());
    fs::copy_file(driver_program, program);
    put("o/model-x-mivra", "main", "manifest.json", "main");
    put("o/-mivra", "main", "manifest.json", "short");
    put("o/model-x", "v2", "manifest.json", "v2");

    child_result r = run(program.string(), {"pull", "o/model-x-mivra", "--lowbit"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text(tmp / "prog" / "models" / "model-x" / "manifest.json"), "main");
    EXPECT_TRUE(contains(r.err, "note: o/model-x-mivra has no experts.lo.bin, so --lowbit will not work with it\n"));

    r = run(program.string(), {"pull", "o/-mivra"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text(tmp / "prog" / "models" / "-mivra" / "manifest.json"), "short");

    r = pull({"o/model-x@v2", pack().string()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text(packed("manifest.json")), "v2");
    EXPECT_EQ(json::parse(read_text(packed(".mivra-pull.json")))["repo"], "o/model-x@v2");
    EXPECT_TRUE(ends_with(requests().back()["path"], "/o/model-x/resolve/v2/manifest.json"));
}

TEST_F(PullHub, ContinuesPartFilesOfEarlierRuns) {
    auto files = standard_pack();
    files["empty.txt"] = "";
    put_all("o/m", files);
    fs::create_directories(pack());
    write_text(packed("core.gguf.part"), files.at("core.gguf"));            // complete
    write_text(packed("experts.bin.part"), pattern_bytes(11 << 20, 9));      // longer than the file
    write_text(packed("manifest.json.part"), files.at("manifest.json").substr(0, 5));

    const child_result r = pull({"o/m", pack().string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // A part file longer than the file is thrown away, so all of the file counts: 12 + 11 + 10485760 bytes.
    EXPECT_TRUE(contains(r.err, "downloading o/m: 5 of 5 files, 10.5 MB to download (")) << r.err;
    EXPECT_TRUE(contains(r.err, "  core.gguf              checking 0.3 MB downloaded earlier...\n")) << r.err;
    EXPECT_TRUE(file_requests("core.gguf").empty());
    EXPECT_TRUE(file_requests("empty.txt").empty());
    ASSERT_EQ(file_requests("manifest.json").size(), 1u);
    EXPECT_EQ(file_requests("manifest.json")[0]["range"], "bytes=5-");
    ASSERT_EQ(file_requests("experts.bin").size(), 2u);
    EXPECT_EQ(file_requests("experts.bin")[1]["range"], "");

    EXPECT_EQ(pack_names(), (std::vector<std::string>{".mivra-pull.json", "README.md", "core.gguf", "empty.txt",
                                                      "experts.bin", "manifest.json"}));
    for (const std::string name : {"README.md", "manifest.json", "core.gguf", "experts.bin", "empty.txt"}) {
        EXPECT_TRUE(holds(packed(name), files.at(name))) << name;
    }
    EXPECT_EQ(json::parse(read_text(packed(".mivra-pull.json")))["files"]["empty.txt"],
              json({{"id", "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391"}, {"size", 0}}));
}

TEST_F(PullHub, UpdateInstallsTheNewFilesTogether) {
    auto files = standard_pack();
    put_all("o/m", files);
    ASSERT_EQ(pull({"o/m", pack().string()}).exit_code, 0);
    const auto old_files = files;
    const json old_state = json::parse(read_text(packed(".mivra-pull.json")));

    files["core.gguf"] = pattern_bytes(300000, 11); // same size, new content
    files["experts.bin"] = pattern_bytes((10 << 20) + 4096, 12);
    put_all("o/m", files);

    // The new core.gguf is verified, but experts.bin fails: the pack must stay the old one throughout.
    const child_result failed = pull({"o/m", pack().string()}, "corrupt=experts.bin");
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_TRUE(contains(failed.err, "  core.gguf              a newer version is on the Hub\n")) << failed.err;
    EXPECT_TRUE(contains(failed.err, "  experts.bin            a newer version is on the Hub\n"));
    EXPECT_TRUE(contains(failed.err, "downloading o/m: 2 of 4 files, "));
    for (const std::string& name : pack_files) EXPECT_TRUE(holds(packed(name), old_files.at(name))) << name;
    EXPECT_TRUE(holds(packed("core.gguf.part"), files.at("core.gguf")));
    EXPECT_EQ(json::parse(read_text(packed(".mivra-pull.json"))), old_state);

    const size_t core_requests = file_requests("core.gguf").size();
    const child_result done = pull({"o/m", pack().string()});
    ASSERT_EQ(done.exit_code, 0) << done.err;
    EXPECT_TRUE(contains(done.err, "  core.gguf              checking 0.3 MB downloaded earlier...\n"));
    EXPECT_EQ(file_requests("core.gguf").size(), core_requests) << "the verified part file is used as it is";
    for (const std::string& name : pack_files) EXPECT_TRUE(holds(packed(name), files.at(name))) << name;
    EXPECT_EQ(read_text(packed(".mivra-pull.json")), state_of(files, pack_files, "o/m@main").dump(2));
    EXPECT_EQ(pack_names().size(), 5u) << "no part file is left";
}

TEST_F(PullHub, CopyMadeByHandIsCheckedOnceAndRecorded) {
    const auto files = standard_pack();
    put_all("o/m", files);
    fs::create_directories(pack());
    for (const std::string name : {"README.md", "manifest.json", "core.gguf"}) write_text(packed(name), files.at(name));
    write_text(packed("experts.bin"), pattern_bytes(10 << 20, 7)); // right size, wrong content

    const child_result r = pull({"o/m", pack().string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "  experts.bin            a newer version is on the Hub\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "downloading o/m: 1 of 4 files, 10.5 MB to download ("));
    for (const std::string name : {"README.md", "manifest.json", "core.gguf"}) {
        EXPECT_TRUE(file_requests(name).empty()) << name;
    }
    EXPECT_TRUE(holds(packed("experts.bin"), files.at("experts.bin")));
    EXPECT_EQ(read_text(packed(".mivra-pull.json")), state_of(files, pack_files, "o/m@main").dump(2));
}

TEST_F(PullHub, NamesThatAreNoPlainFileNamesAreSkipped) {
    const std::string manifest = "{}";
    put("o/m", "main", "manifest.json", manifest);
    json listing = {{{"type", "file"}, {"path", "manifest.json"}, {"size", 2}, {"oid", git_blob_id(manifest)}}};
    for (const char* odd : {"..", ".", "x.part", "y.tmp", ".mivra-pull.json"}) {
        listing.push_back({{"type", "file"}, {"path", odd}, {"size", 1}, {"oid", git_blob_id("x")}});
    }
    put_listing("o/m", listing);

    const child_result r = pull({"o/m", pack().string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const char* odd : {"..", ".", "x.part", "y.tmp", ".mivra-pull.json"}) {
        EXPECT_TRUE(contains(r.err, std::string("note: o/m lists a file named \"") + odd +
                                        "\", which is not a plain file name; skipped\n"))
            << odd;
    }
    EXPECT_TRUE(contains(r.err, "downloading o/m: 1 of 1 files, "));
    EXPECT_EQ(pack_names(), (std::vector<std::string>{".mivra-pull.json", "manifest.json"}));
}

TEST_F(PullHub, LauncherEvents) {
    put_all("o/m", standard_pack());
    const std::string dir = pack().string();

    const child_result r = run(driver_program, {"start", "o/m", dir});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<json> events = json_lines(r.out);
    ASSERT_GE(events.size(), 2u + pack_files.size());
    EXPECT_EQ(events.front(), json({{"type", "download"}, {"files", 4}, {"need", pack_bytes}}));
    EXPECT_EQ(events.back(), json({{"type", "result"}, {"code", 0}, {"error", ""}}));
    std::map<std::string, json> last_of_file;
    uint64_t all_done = 0;
    for (size_t i = 1; i + 1 < events.size(); ++i) {
        const json& e = events[i];
        ASSERT_EQ(e["type"], "progress") << e.dump();
        EXPECT_EQ(e["all_total"], pack_bytes);
        EXPECT_GE(e["all_done"].get<uint64_t>(), all_done);
        all_done = e["all_done"];
        last_of_file[e["file"]] = e;
    }
    EXPECT_EQ(all_done, pack_bytes);
    ASSERT_EQ(last_of_file.size(), pack_files.size());
    for (const auto& [name, e] : last_of_file) EXPECT_EQ(e["done"], e["total"]) << name;
    EXPECT_TRUE(ends_with(r.err, "download complete\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "Start it with"));

    const child_result again = run(driver_program, {"start", "o/m", dir});
    EXPECT_EQ(again.exit_code, 0);
    EXPECT_EQ(again.out, "{\"code\":0,\"error\":\"\",\"type\":\"result\"}\n");
    EXPECT_EQ(again.err, "o/m is up to date (10.8 MB)\n");

    const std::string refused = "HTTP 401: no such repo, or it is private/gated (then set HF_TOKEN to a Hugging Face "
                                "access token)";
    const child_result failed = run(driver_program, {"start", "o/m", dir}, "status=401");
    EXPECT_EQ(failed.exit_code, 1);
    EXPECT_EQ(json_lines(failed.out), std::vector<json>({{{"type", "result"}, {"code", 1}, {"error", refused}}}));
    EXPECT_EQ(failed.err, "\nerror: " + refused + "\n");
}

TEST_F(PullHub, TokenGoesToTheHubOnly) {
    auto files = standard_pack();
    put_all("o/m", {{"manifest.json", files["manifest.json"]}, {"core.gguf", files["core.gguf"]}});

    const child_result r = pull({"o/m", pack().string()}, "-", {"HF_TOKEN=secret"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<json> seen = requests();
    ASSERT_EQ(seen.size(), 4u);
    for (const json& request : seen) {
        EXPECT_EQ(request["auth"], request["where"] == "cdn" ? "" : "Bearer secret") << request.dump();
    }
}
