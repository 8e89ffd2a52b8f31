// The menu of `start` without a process: its rows, the default row, last.txt, the console texts and answers, and
// the launcher's command loop fed from a text.
#include "distribution/start_menu.h"

#include <gtest/gtest.h>

#include <sstream>

#include "distribution/launcher_events.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string pack_manifest = R"({"format": "mivra-pack-1"})";

fs::path make_folder(const fs::path& folder, const std::map<std::string, std::string>& files) {
    fs::create_directories(folder);
    for (const auto& [name, text] : files) write_text(folder / name, text);
    return folder;
}

catalog_entry entry(const std::string& id, const std::string& min_mivra = "0", bool recommended = false) {
    catalog_entry e;
    e.id = id;
    e.name = "Model " + id;
    e.repo = "o/" + id;
    e.min_mivra = min_mivra;
    e.recommended = recommended;
    return e;
}

menu_item row(bool installed, bool ready, bool recommended, const std::string& id = "") {
    menu_item m;
    m.id = id;
    m.installed = installed;
    m.ready = ready;
    m.recommended = recommended;
    return m;
}

std::vector<std::string> ids(const std::vector<menu_item>& items) {
    std::vector<std::string> out;
    for (const menu_item& m : items) out.push_back(m.id);
    return out;
}

}  // namespace

TEST(StartMenu, RowsFromTheCatalogAndTheModelsFolder) {
    temp_folder tmp;
    const fs::path models = tmp / "models";
    make_folder(models / "begun", {{".mivra-pull.json", "{}"}, {"core.gguf.part", ""}});
    make_folder(models / "newer-installed", {{"manifest.json", pack_manifest}});
    make_folder(models / "own-pack", {{"manifest.json", "not even JSON"}});
    make_folder(models / "unfinished-own", {{"manifest.json", pack_manifest}, {"x.part", ""}});
    make_folder(models / "begun-too", {{"manifest.json", pack_manifest}});  // a catalog id: no extra row
    make_folder(models / "no-manifest", {{"core.gguf", ""}});
    write_text(models / "last.txt", "x\r\n");
    const fs::path linked = make_folder(tmp / "copy", {{"manifest.json", pack_manifest}});

    const std::vector<catalog_entry> catalog = {entry("fresh"), entry("begun"), entry("too-new", "0.2"),
                                                entry("newer-installed", "0.2"), entry("via-link"),
                                                entry("begun-too")};
    const menu_rows rows = build_menu_rows(catalog, models, {{"via-link", linked.string()}});

    // Installed rows first, each group in catalog order and then folder order.
    const std::vector<std::string> expected_start = {"begun", "newer-installed", "via-link", "begun-too"};
    ASSERT_EQ(rows.items.size(), 7u);
    const std::vector<std::string> order = ids(rows.items);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 4), expected_start);
    std::vector<std::string> extra = {rows.items[4].id, rows.items[5].id};
    std::sort(extra.begin(), extra.end());
    EXPECT_EQ(extra, (std::vector<std::string>{"own-pack", "unfinished-own"}));
    EXPECT_EQ(rows.items[6].id, "fresh");
    ASSERT_EQ(rows.too_new.size(), 1u);
    EXPECT_EQ(rows.too_new[0].id, "too-new");

    const struct {
        const char* id;
        bool installed, ready;
        fs::path folder;
    } flags[] = {{"begun", true, false, models / "begun"},
                 {"newer-installed", true, true, models / "newer-installed"},
                 {"via-link", true, true, linked},
                 {"own-pack", true, true, models / "own-pack"},
                 {"unfinished-own", true, false, models / "unfinished-own"},
                 {"fresh", false, false, models / "fresh"}};
    for (const auto& f : flags) {
        auto it = std::find_if(rows.items.begin(), rows.items.end(), [&](const menu_item& m) { return m.id == f.id; });
        ASSERT_NE(it, rows.items.end()) << f.id;
        EXPECT_EQ(it->installed, f.installed) << f.id;
        EXPECT_EQ(it->ready, f.ready) << f.id;
        EXPECT_EQ(it->folder, f.folder) << f.id;
    }
    const menu_item& own = rows.items[4].id == "own-pack" ? rows.items[4] : rows.items[5];
    EXPECT_EQ(own.name, "own-pack");
    EXPECT_EQ(own.repo, "");

    // A models folder that cannot be listed only loses the extra rows (and here what was installed in it).
    const menu_rows bare = build_menu_rows(catalog, tmp / "missing", {{"via-link", linked.string()}});
    EXPECT_EQ(ids(bare.items), (std::vector<std::string>{"via-link", "fresh", "begun", "begun-too"}));
    EXPECT_EQ(bare.too_new.size(), 2u);
}

TEST(StartMenu, DefaultRow) {
    const struct {
        const char* name;
        std::vector<menu_item> items;
        std::string last;
        size_t choice;
        bool last_ready, single_ready;
    } cases[] = {
        {"first recommended", {row(false, false, false, "a"), row(false, false, true, "b"), row(false, false, true, "c")},
         "", 1, false, false},
        {"first row", {row(false, false, false, "a"), row(false, false, false, "b")}, "", 0, false, false},
        {"installed first row", {row(true, true, false, "a"), row(false, false, true, "b")}, "", 0, false, false},
        {"last.txt", {row(true, true, false, "a"), row(true, true, false, "b")}, "b", 1, true, false},
        {"last.txt unfinished", {row(true, true, false, "a"), row(true, false, false, "b")}, "b", 1, false, false},
        {"last.txt not installed", {row(false, false, false, "a"), row(false, false, true, "b")}, "a", 1, false, false},
        {"single ready", {row(true, true, false, "a")}, "", 0, false, true},
        {"single unfinished", {row(true, false, false, "a")}, "a", 0, false, false},
    };
    for (const auto& c : cases) {
        const menu_default d = pick_default(c.items, c.last);
        EXPECT_EQ(d.choice, c.choice) << c.name;
        EXPECT_EQ(d.last_ready, c.last_ready) << c.name;
        EXPECT_EQ(d.single_ready, c.single_ready) << c.name;
    }
}

TEST(StartMenu, LastModelFile) {
    temp_folder tmp;
    EXPECT_EQ(read_last_model(tmp.path), "");
    write_last_model(tmp.path, "qwen3-30b-a3b");
    EXPECT_EQ(read_text(tmp / "last.txt"), "qwen3-30b-a3b\r\n");
    EXPECT_EQ(read_last_model(tmp.path), "qwen3-30b-a3b");
    write_text(tmp / "last.txt", "b\nc\n");
    EXPECT_EQ(read_last_model(tmp.path), "b");
    write_text(tmp / "last.txt", "");
    EXPECT_EQ(read_last_model(tmp.path), "");
    EXPECT_NO_THROW(write_last_model(tmp / "missing", "x"));
}

TEST(StartMenu, ConsoleMenuText) {
    menu_item ready = row(true, true, false, "a");
    ready.name = "Qwen3 30B";
    ready.about = "General chat.";
    menu_item begun = row(true, false, true, "b");
    begun.name = "Half";
    menu_item offer = row(false, false, true, "c");
    offer.name = "Big";
    offer.download_gb = 18.65;
    offer.min_ram_gb = 7.6;
    menu_item plain = row(false, false, false, "d");
    plain.name = "Small";
    plain.download_gb = 2;
    catalog_entry later = entry("e");
    later.name = "Future";

    EXPECT_EQ(console_menu_text({ready, begun, offer, plain}, {later}),
              "\n"
              "  Your models\n"
              "    1  Qwen3 30B                    ready\n"
              "       General chat.\n"
              "    2  Half                         download not finished\n"
              "\n"
              "  Download another model\n"
              "    3  Big                          18.6 GB download, needs 8 GB memory  (recommended)\n"
              "    4  Small                        2.0 GB download\n"
              "\n"
              "  Also available with a newer Mivra (download the latest version from the website):\n"
              "       Future\n");
    // Only installed rows: no second heading.
    EXPECT_EQ(console_menu_text({ready}, {}), "\n  Your models\n    1  Qwen3 30B                    ready\n"
                                              "       General chat.\n");
    EXPECT_EQ(console_prompt(1), "\n  Type a number and press Enter (just Enter = 2, q = quit): ");
}

TEST(StartMenu, ConsoleAnswers) {
    const struct {
        const char* line;
        menu_answer::kind_t kind;
        size_t index;
    } cases[] = {
        {"", menu_answer::take_default, 0},   {" \t\r", menu_answer::take_default, 0},
        {"q", menu_answer::quit, 0},          {" Q ", menu_answer::quit, 0},
        {"1", menu_answer::row, 0},           {" 3\t", menu_answer::row, 2},
        {"03", menu_answer::row, 2},          {"+2", menu_answer::row, 1},
        {"1 2", menu_answer::row, 11},        // white space inside is removed too
        {"0", menu_answer::invalid, 0},       {"-1", menu_answer::invalid, 0},
        {"-0", menu_answer::invalid, 0},      {"13", menu_answer::invalid, 0},
        {"2x", menu_answer::invalid, 0},      {"x2", menu_answer::invalid, 0},
        {"+", menu_answer::invalid, 0},       {"quit", menu_answer::invalid, 0},
        {"99999999999999999999999", menu_answer::invalid, 0},
    };
    for (const auto& c : cases) {
        const menu_answer a = read_menu_answer(c.line, 12);
        EXPECT_EQ(a.kind, c.kind) << '"' << c.line << '"';
        if (c.kind == menu_answer::row) {
            EXPECT_EQ(a.index, c.index) << c.line;
        }
    }
}

class CommandLoop : public testing::Test {
protected:
    CommandLoop() {
        items = {row(false, false, true, "alpha"), row(false, false, false, "bravo"), row(true, true, false, "charlie")};
        for (menu_item& m : items) m.folder = tmp / "models" / m.id;
        fs::create_directories(tmp / "models");
    }

    std::optional<size_t> run(const std::string& input) {
        std::istringstream in(input);
        events.clear();
        return run_command_loop(items, 1, catalog, tmp / "models", links, in,
                                [this](const json& e) { events.push_back(json_line_text(e)); });
    }

    temp_folder tmp;
    std::vector<menu_item> items;
    std::vector<catalog_entry> catalog = {entry("alpha"), entry("bravo"), entry("charlie")};
    model_links links;
    std::vector<std::string> events;
};

TEST_F(CommandLoop, ChoicesQuitAndEndOfInput) {
    const struct {
        const char* input;
        std::optional<size_t> result;
    } cases[] = {
        {"quit\n", std::nullopt},
        {"", std::nullopt},
        {"quit\r\n", 1},           // only "quit" itself ends; with CR it is an unknown id
        {"alpha\r\n", 0},
        {" char lie \t\n", 2},     // every white-space character is removed
        {"delta\n", 1},            // no such id: the preselected row
        {"locate alpha\n", 1},     // no tab: a choice line
        {"\nalpha\n", 1},          // an empty line is a choice too
        {"charlie", 2},            // a last line without its line end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.input), c.result) << c.input;
        EXPECT_TRUE(events.empty()) << c.input;
    }
    EXPECT_FALSE(fs::exists(tmp / "models" / "links.json"));
}

TEST_F(CommandLoop, LocateChecksInOrderThenUsesTheFolder) {
    const fs::path good = make_folder(tmp / "Copy of bravo", {{"manifest.json", pack_manifest}});
    const fs::path unfinished = make_folder(tmp / "half", {{"manifest.json", pack_manifest}, {"core.gguf.part", ""}});
    const fs::path empty = make_folder(tmp / "empty", {{"readme", ""}});
    const fs::path alpha = make_folder(tmp / "other", {{"manifest.json", pack_manifest},
                                                        {".mivra-pull.json", R"({"repo": "o/alpha@main"})"}});
    const fs::path unknown = make_folder(tmp / "mystery", {{"manifest.json", pack_manifest}});

    const std::string script = "locate delta\t" + good.string() + "\n" +      // no such row, though a good pack
                               "locate \t" + good.string() + "\n" +           // empty id
                               "locate bravo\t" + empty.string() + "\n" +
                               "locate bravo\t" + unfinished.string() + "\n" +
                               "locate bravo\t" + alpha.string() + "\r\n" +   // CR removed before the checks
                               "locate bravo\t" + good.string() + "\n" +
                               "alpha\n";
    EXPECT_EQ(run(script), 1u);
    const std::vector<std::string> expected = {
        json_line_text(gui_located_event(false, "delta", "unknown model")),
        json_line_text(gui_located_event(false, "", "unknown model")),
        json_line_text(gui_located_event(false, "bravo", "that folder has no Mivra model in it (it should contain "
                                                         "manifest.json, core.gguf and experts.bin)")),
        json_line_text(gui_located_event(false, "bravo", "the download in that folder is not finished")),
        json_line_text(gui_located_event(false, "bravo", "that folder holds a different model (alpha)")),
        json_line_text(gui_located_event(true, "bravo", "Using the copy in " + good.string())),
    };
    EXPECT_EQ(events, expected);
    EXPECT_EQ(items[1].folder, good);
    EXPECT_TRUE(items[1].installed);
    EXPECT_TRUE(items[1].ready);
    EXPECT_EQ(links, (model_links{{"bravo", good.string()}}));
    EXPECT_EQ(read_links(tmp / "models"), links);

    // A folder that cannot be placed at all passes.
    EXPECT_EQ(run("locate alpha\t" + unknown.string() + "\n"), 0u);
    EXPECT_EQ(links.at("alpha"), unknown.string());
}
