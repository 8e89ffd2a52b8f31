// Finding packs on the PC: the pack tests, identifying the model a folder holds, links.json, the folder a model
// resolves to, and the search over explicit roots (the search of this machine's own folders is run by the
// launcher tests with a home folder of their own).
#include "distribution/pack_finder.h"

#include <gtest/gtest.h>

#include "distribution/launcher_events.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string pack_manifest = R"({"format": "mivra-pack-1"})";

fs::path make_folder(const fs::path& folder, const std::map<std::string, std::string>& files) {
    fs::create_directories(folder);
    for (const auto& [name, text] : files) {
        fs::create_directories((folder / name).parent_path());
        write_text(folder / name, text);
    }
    return folder;
}

fs::path make_pack(const fs::path& folder, std::map<std::string, std::string> extra = {}) {
    extra.emplace("manifest.json", pack_manifest);
    return make_folder(folder, extra);
}

catalog_entry entry(const std::string& id, const std::string& repo, const std::string& name = "") {
    catalog_entry e;
    e.id = id;
    e.repo = repo;
    e.name = name.empty() ? id : name;
    return e;
}

}  // namespace

TEST(PackFinder, PackFolderAndPartialFiles) {
    temp_folder tmp;
    const struct {
        const char* name;
        std::map<std::string, std::string> files;
        bool pack;
        bool partial;
    } cases[] = {
        {"current", {{"manifest.json", pack_manifest}}, true, false},
        {"older-name", {{"manifest.json", R"({"format": "miva-pack-1"})"}}, true, false},
        {"other-format", {{"manifest.json", R"({"format": "mivra-pack-2"})"}}, false, false},
        {"no-format", {{"manifest.json", R"({"source": "x"})"}}, false, false},
        {"format-not-text", {{"manifest.json", R"({"format": 1})"}}, false, false},
        {"array", {{"manifest.json", "[]"}}, false, false},
        {"broken", {{"manifest.json", R"({"format": "mivra-pack-1")"}}, false, false},
        {"none", {{"core.gguf", "x"}}, false, false},
        {"part-file", {{"manifest.json", pack_manifest}, {"experts.bin.part", ""}}, true, true},
        {"part-folder", {{"x.part/keep", ""}}, false, true},
        {"only-dot-part", {{".part", ""}, {"a.PART", ""}, {"sub/b.part", ""}}, false, false},
    };
    for (const auto& c : cases) {
        const fs::path folder = make_folder(tmp / c.name, c.files);
        EXPECT_EQ(is_pack_folder(folder), c.pack) << c.name;
        EXPECT_EQ(has_partial_files(folder), c.partial) << c.name;
        EXPECT_EQ(is_complete_pack(folder), c.pack && !c.partial) << c.name;
    }
    EXPECT_FALSE(is_pack_folder(tmp / "missing"));
    EXPECT_FALSE(has_partial_files(tmp / "missing"));
}

TEST(PackFinder, NormaliseModelName) {
    EXPECT_EQ(normalise_model_name("Qwen3-30B_A3B.gguf"), "qwen330ba3bgguf");
    EXPECT_EQ(normalise_model_name("\xC3\x84pfel 7 /x"), "pfel7x");
    EXPECT_EQ(normalise_model_name("--"), "");
}

TEST(PackFinder, IdentifyPack) {
    temp_folder tmp;
    const std::vector<catalog_entry> catalog = {entry("qwen3-30b-a3b", "Pellbrook1/qwen3-30b-a3b-mivra"),
                                                entry("tiny", "o/tiny-mivra"), entry("--", "o/dashes")};
    const struct {
        const char* folder;
        std::map<std::string, std::string> files;
        const char* id;
    } cases[] = {
        // The pull state names the repo, with or without the revision, whatever the folder is called.
        {"whatever", {{".mivra-pull.json", R"({"repo": "o/tiny-mivra@v2"})"}}, "tiny"},
        {"whatever2", {{".mivra-pull.json", R"({"repo": "o/tiny-mivra"})"}}, "tiny"},
        // A repo that only begins with the catalog's repo is another repo; the folder name decides then.
        {"qwen3-30B_a3b", {{".mivra-pull.json", R"({"repo": "o/tiny-mivra-2@main"})"}}, "qwen3-30b-a3b"},
        {"pack", {{"manifest.json", R"({"source": "Qwen3-30B-A3B-Instruct-Q4.gguf"})"}}, "qwen3-30b-a3b"},
        {"copy of TINY", {{"manifest.json", R"({"source": "other.gguf"})"}}, "tiny"},
        {"pack2", {{"manifest.json", R"({"source": "other.gguf"})"}}, ""},
        // The blank between source and folder name keeps a match from spanning both.
        {"30b-a3b", {{"manifest.json", R"({"source": "qwen3"})"}}, ""},
        // Members of the wrong type count as absent.
        {"tiny-odd", {{".mivra-pull.json", R"({"repo": 7})"}, {"manifest.json", R"({"source": []})"}}, "tiny"},
        {"state-array", {{".mivra-pull.json", "[1]"}, {"manifest.json", "\"text\""}}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(identify_pack(make_folder(tmp / c.folder, c.files), catalog), c.id) << c.folder;
    }
}

TEST(PackFinder, LinksFile) {
    temp_folder tmp;
    model_links links = {{"zeta", "/packs/z"}, {"alpha", "/home/u/Downloads/a b"}};
    write_links(tmp.path, links);
    EXPECT_EQ(read_text(tmp / "links.json"),
              "{\r\n  \"alpha\": \"/home/u/Downloads/a b\",\r\n  \"zeta\": \"/packs/z\"\r\n}");
    EXPECT_EQ(read_links(tmp.path), links);
    EXPECT_FALSE(fs::exists(tmp / "links.json.tmp"));

    write_text(tmp / "links.json", R"({"a": "/x", "b": 3, "c": null, "d": {"e": "/y"}})");
    EXPECT_EQ(read_links(tmp.path), (model_links{{"a", "/x"}}));
    for (const char* text : {"[\"/x\"]", "broken", ""}) {
        write_text(tmp / "links.json", text);
        EXPECT_TRUE(read_links(tmp.path).empty()) << text;
    }

    // A folder name that is not UTF-8 does not stop the file from being written.
    write_links(tmp.path, {{"a", "/p\xFF"}});
    EXPECT_EQ(read_links(tmp.path), (model_links{{"a", "/p\xEF\xBF\xBD"}}));

    // An unwritable models folder: nothing is written, nothing is thrown.
    EXPECT_NO_THROW(write_links(tmp / "missing", links));
}

TEST(PackFinder, ResolveModelFolder) {
    temp_folder tmp;
    const fs::path models = tmp / "models";
    const fs::path linked = make_pack(tmp / "elsewhere");
    make_pack(models / "ready");
    make_pack(models / "unfinished", {{"core.gguf.part", ""}});
    const model_links links = {{"ready", linked.string()},
                               {"unfinished", linked.string()},
                               {"absent", linked.string()},
                               {"gone", (tmp / "deleted").string()}};
    EXPECT_EQ(resolve_model_folder(models, "ready", links), models / "ready");
    EXPECT_EQ(resolve_model_folder(models, "unfinished", links), linked);
    EXPECT_EQ(resolve_model_folder(models, "absent", links), linked);
    EXPECT_EQ(resolve_model_folder(models, "gone", links), models / "gone");
    EXPECT_EQ(resolve_model_folder(models, "unlinked", links), models / "unlinked");
}

class PackSearch : public testing::Test {
protected:
    void TearDown() override { gui_mode = false; }

    // Runs the search and returns what it printed.
    std::string locate(model_links& links, bool gui = false) {
        gui_mode = gui;
        testing::internal::CaptureStdout();
        locate_packs_in(catalog, models, links, area);
        gui_mode = false;
        return testing::internal::GetCapturedStdout();
    }

    temp_folder tmp;
    fs::path models = tmp / "models";
    fs::path one = tmp / "one";
    fs::path two = tmp / "two";
    std::vector<catalog_entry> catalog = {entry("alpha", "o/alpha", "Alpha"),   entry("bravo", "o/bravo"),
                                          entry("charlie", "o/charlie"),         entry("delta", "o/delta"),
                                          entry("echo", "o/echo", "Echo \xC3\x89"), entry("foxtrot", "o/foxtrot"),
                                          entry("golf", "o/golf"),               entry("hotel", "o/hotel")};
    pack_search_area area{{one, tmp / "no-such-root", two}, {one / "mnt"}};
};

TEST_F(PackSearch, FindsPacksTwoLevelsDownAndLinksThem) {
    fs::create_directories(models);
    const fs::path alpha = make_pack(one / "packs" / "my-Alpha copy");
    make_pack(one / "a" / "b" / "bravo");                              // three levels down
    make_pack(one / "Program Files" / "charlie");                      // skipped names, any case
    make_pack(one / "node_modules" / "charlie");
    make_pack(one / ".cache" / "charlie");
    make_pack(one / "$stash" / "charlie");
    make_pack(one / "mnt" / "charlie");                                // an excluded mount point
    make_pack(one / "delta", {{"core.gguf.part", "x"}});               // unfinished
    const fs::path echo_first = make_pack(one / "echo-1");
    const fs::path echo_pulled = make_pack(two / "x" / "echo-2", {{".mivra-pull.json", "{}"}});
    make_pack(one / "outer", {{"foxtrot/manifest.json", pack_manifest}});  // a pack is never entered
    make_pack(one / "golf", {{"manifest.json", R"({"format": "mivra-pack-1", "source": 1})"}});  // odd member
    make_pack(two / "hotel-state", {{".mivra-pull.json", R"({"repo": ["o/hotel"]})"}});
    make_pack(two / "x" / "deep" / "golf");                            // three levels again
    make_pack(two, {{"manifest.json", pack_manifest}});                // a root is never a pack itself

    model_links links;
    const std::string out = locate(links);
    EXPECT_EQ(links, (model_links{{"alpha", alpha.string()}, {"echo", echo_pulled.string()}}));
    EXPECT_EQ(out, "  Found Alpha already on this PC in " + alpha.string() + "; using it from there.\n" +
                       "  Found Echo \xC3\x89 already on this PC in " + echo_pulled.string() + "; using it from there.\n");
    EXPECT_EQ(read_links(models), links);
    (void)echo_first;
}

TEST_F(PackSearch, LauncherNotesAndExistingLinks) {
    fs::create_directories(models);
    const fs::path alpha = make_pack(one / "alpha");
    // A link whose folder is gone is replaced when a new copy turns up, and kept while none does.
    model_links links = {{"alpha", (tmp / "gone-a").string()}, {"bravo", (tmp / "gone-b").string()}};
    const std::string out = locate(links, true);
    EXPECT_EQ(out, json_line_text(gui_note_event("Found Alpha already on this PC (" + alpha.string() +
                                                 "). Mivra uses it from there; nothing is downloaded.")) + "\n");
    EXPECT_EQ(links, (model_links{{"alpha", alpha.string()}, {"bravo", (tmp / "gone-b").string()}}));
    EXPECT_EQ(read_links(models), links);
}

TEST_F(PackSearch, NothingIsSearchedWhenEveryModelIsInstalled) {
    catalog.resize(2);
    make_pack(models / "alpha");
    const fs::path bravo = make_pack(tmp / "linked-bravo");
    make_pack(one / "alpha-copy");
    make_pack(one / "bravo-copy");
    model_links links = {{"bravo", bravo.string()}};
    EXPECT_EQ(locate(links), "");
    EXPECT_EQ(links, (model_links{{"bravo", bravo.string()}}));
    EXPECT_FALSE(fs::exists(models / "links.json"));

    // Found packs of installed models are ignored; nothing found means nothing written.
    fs::remove_all(bravo);
    fs::remove_all(one / "bravo-copy");
    EXPECT_EQ(locate(links), "");
    EXPECT_FALSE(fs::exists(models / "links.json"));
}
