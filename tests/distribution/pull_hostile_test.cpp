// `mivra pull` against a hostile Hub or a tampered pack folder: repo names that point outside the models folder, a
// listing without end or one that drips, names with control characters or too long for a file, and symbolic links
// planted where the pull writes its part and state files.
#include <algorithm>

#include "pull_hub_fixture.h"

using namespace pull_test;

TEST_F(PullHub, RepoNamesThatAreNoHubNamesAreRefusedBeforeAnythingIsWritten) {
    const fs::path program_folder = fs::path(mivra_program).parent_path();
    for (const std::string spec : {"o/..", "../m", "o/.", "o/a b", "o/m\\x", "o/..-mivra", "o/", "o/a/b"}) {
        SCOPED_TRACE(spec);
        const child_result r = run(mivra_program, {"pull", spec});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "\nerror: \"" + printable_name(spec) +
                             "\" is not a Hugging Face repo name: owner and name may hold only letters, digits, "
                             "'-', '_' and '.', and neither may be '.' or '..'\n");
        EXPECT_TRUE(requests().empty());
        EXPECT_FALSE(fs::exists(program_folder / ".mivra-pull.json"));
        EXPECT_FALSE(fs::exists(program_folder / "models" / ".mivra-pull.json"));
    }
}

TEST_F(PullHub, ListingsWithoutEndAreCutOff) {
    put_all("o/m", {{"manifest.json", "{}"}});
    const child_result endless = run(mivra_program, {"pull", "o/m", pack().string()}, "endless_listing");
    EXPECT_EQ(endless.exit_code, 1);
    EXPECT_EQ(endless.err, "\nerror: the Hub's file list of o/m is larger than 64 MB\n");

    const auto start = std::chrono::steady_clock::now();
    const child_result drip = pull({"o/m", pack().string()}, "drip_listing", {"MIVRA_TEST_LISTING_SECONDS=2"});
    EXPECT_EQ(drip.exit_code, 1);
    EXPECT_EQ(drip.err, "\nerror: the Hub took too long to list the files of o/m\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_FALSE(fs::exists(pack()));
}

TEST_F(PullHub, HostileNamesAreEscapedOrSkipped) {
    const std::string escape_name = "e\x1b[2J\x1b]0;x\x07vil.txt";
    const std::string long_name = std::string(247, 'L') + ".txt";
    put_all("o/m", {{"manifest.json", "{}"}, {escape_name, "hidden"}, {long_name, "long"}});

    const child_result r = run(mivra_program, {"pull", "o/m", pack().string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\x1b'), 0) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\x07'), 0) << r.err;
    EXPECT_TRUE(contains(r.err, "e\\x1b[2J\\x1b]0;x\\x07vil.txt")) << r.err;
    EXPECT_TRUE(contains(r.err, "note: o/m lists a file whose name is too long for this drive (\"" +
                                    std::string(40, 'L') + "...\"); skipped\n"))
        << r.err;
    EXPECT_TRUE(holds(packed(escape_name), "hidden"));
    EXPECT_TRUE(holds(packed("manifest.json"), "{}"));
    EXPECT_FALSE(fs::exists(packed(long_name)));
}

TEST_F(PullHub, LinksPlantedInThePackFolderAreNotFollowed) {
    const auto files = standard_pack();
    put_all("o/m", files);
    const fs::path victim = tmp / "victim";
    write_text(victim, "victim");
    fs::create_directories(pack());
    for (const char* name : {"core.gguf.part", ".mivra-pull.json.tmp", ".mivra-pull.log"})
        fs::create_symlink(victim, packed(name));

    const child_result r = run(mivra_program, {"pull", "o/m", pack().string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_text(victim), "victim");
    EXPECT_TRUE(holds(packed("core.gguf"), files.at("core.gguf")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(packed(".mivra-pull.log"))));
    const json state = json::parse(read_text(packed(".mivra-pull.json")));
    EXPECT_EQ(state["files"]["core.gguf"]["id"], hub_id("core.gguf", files.at("core.gguf")));
}
