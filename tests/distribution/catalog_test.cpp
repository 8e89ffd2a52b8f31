#include "distribution/catalog.h"

#include <gtest/gtest.h>

#include "fixtures/temp_folder.h"

using nlohmann::json;

namespace {

std::string catalog(const std::string& models) {
    return R"({"format": "mivra-catalog-1", "models": )" + models + "}";
}

std::string model(const std::string& id, const std::string& extra = "") {
    return R"({"id": ")" + id + R"(", "repo": "owner/)" + id + "\"" + extra + "}";
}

std::vector<std::string> ids_of(const std::vector<catalog_entry>& entries) {
    std::vector<std::string> ids;
    for (const auto& e : entries) ids.push_back(e.id);
    return ids;
}

enum class failure { none, runtime, json_parse, json_type, json_missing };

struct parse_case {
    const char* what;
    std::string text;
    std::vector<std::string> ids;  // expected on success
    failure fails = failure::none;
    std::string message = "";  // expected text of a runtime error
};

}  // namespace

TEST(Catalog, ParseRules) {
    const std::string id79(79, 'a'), id80(80, 'b');
    const parse_case cases[] = {
        {"array in file order", catalog("[" + model("b") + "," + model("a") + "]"), {"b", "a"}},
        {"byte order mark", "\xEF\xBB\xBF" + catalog("[" + model("m") + "]"), {"m"}},
        {"object walked in name order",
         catalog(R"({"zz": )" + model("first") + R"(, "aa": )" + model("second") + "}"), {"second", "first"}},
        {"id rules",
         catalog("[" + model(".hidden") + "," + model("ok-1.2_X") + "," + model(id79) + "," + model(id80) + "," +
                 model("a b") + "," + model("a/b") + "," + model("caf\xC3\xA9") + "," + model("") + "]"),
         {"ok-1.2_X", id79}},
        {"repo must hold a slash",
         catalog(R"([{"id": "norepo"}, {"id": "flat", "repo": "noslash"}, {"id": "good", "repo": "o/n"}])"),
         {"good"}},
        {"a dropped entry's other members are not read",
         catalog("[" + model(".x", R"(, "recommended": 1, "name": 5)") + "," + model("y") + "]"), {"y"}},
        {"no entry passes", catalog(R"([{"id": "a"}, {"id": "b", "repo": ""}])"), {}, failure::runtime,
         "catalog lists no models"},
        {"empty models", catalog("[]"), {}, failure::runtime, "catalog lists no models"},
        {"wrong format", R"({"format": "mivra-catalog-2", "models": []})", {}, failure::runtime,
         "unknown catalog format"},
        {"no format", R"({"models": [{"id": "a", "repo": "o/a"}]})", {}, failure::runtime, "unknown catalog format"},
        {"format not a string", R"({"format": 1, "models": []})", {}, failure::json_type},
        {"models missing", R"({"format": "mivra-catalog-1"})", {}, failure::json_missing},
        {"recommended as a number", catalog("[" + model("a", R"(, "recommended": 1)") + "]"), {}, failure::json_type},
        {"download_gb as a string", catalog("[" + model("a", R"(, "download_gb": "18")") + "]"), {},
         failure::json_type},
        {"id as a number", catalog(R"([{"id": 7, "repo": "o/n"}])"), {}, failure::json_type},
        {"element not an object", catalog(R"(["a"])"), {}, failure::json_type},
        {"top level not an object", "[1]", {}, failure::json_type},
        {"not JSON", "{", {}, failure::json_parse},
        {"comments are not JSON", "// c\n" + catalog("[" + model("a") + "]"), {}, failure::json_parse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            auto entries = parse_catalog(c.text);
            EXPECT_EQ(c.fails, failure::none);
            EXPECT_EQ(ids_of(entries), c.ids);
        } catch (const json::parse_error&) {
            EXPECT_EQ(c.fails, failure::json_parse);
        } catch (const json::type_error&) {
            EXPECT_EQ(c.fails, failure::json_type);
        } catch (const json::out_of_range&) {
            EXPECT_EQ(c.fails, failure::json_missing);
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(c.fails, failure::runtime);
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

TEST(Catalog, FieldsAndDefaults) {
    auto entries = parse_catalog(catalog(
        "[" + model("bare") + "," +
        model("full", R"(, "name": "Full Model", "about": "x", "download_gb": 18, "min_ram_gb": 8.5,
                          "recommended": true, "min_mivra": "0.2", "other": [1])") +
        "]"));
    ASSERT_EQ(entries.size(), 2u);
    const catalog_entry& bare = entries[0];
    EXPECT_EQ(bare.name, "bare");  // shown under its id
    EXPECT_EQ(bare.repo, "owner/bare");
    EXPECT_EQ(bare.about, "");
    EXPECT_EQ(bare.min_mivra, "0");
    EXPECT_EQ(bare.download_gb, 0);
    EXPECT_EQ(bare.min_ram_gb, 0);
    EXPECT_FALSE(bare.recommended);
    const catalog_entry& full = entries[1];
    EXPECT_EQ(full.name, "Full Model");
    EXPECT_EQ(full.about, "x");
    EXPECT_EQ(full.download_gb, 18.0);
    EXPECT_EQ(full.min_ram_gb, 8.5);
    EXPECT_TRUE(full.recommended);
    EXPECT_EQ(full.min_mivra, "0.2");
}

TEST(Catalog, BuiltInCatalog) {
    auto entries = parse_catalog(default_catalog_text);
    ASSERT_EQ(entries.size(), 1u);
    const catalog_entry& e = entries[0];
    EXPECT_EQ(e.id, "qwen3-30b-a3b");
    EXPECT_EQ(e.name, "Qwen3 30B");
    EXPECT_EQ(e.repo, "Pellbrook1/qwen3-30b-a3b-mivra");
    EXPECT_EQ(e.download_gb, 18.6);
    EXPECT_EQ(e.min_ram_gb, 8);
    EXPECT_TRUE(e.recommended);
    EXPECT_EQ(e.min_mivra, "0.1");
    EXPECT_EQ(e.about, "General chat, writing and coding. Works on 8 GB PCs.");
    EXPECT_EQ(default_catalog_source(),
              "https://huggingface.co/datasets/Pellbrook1/mivra-catalog/resolve/main/models.json");
}

TEST(Catalog, LoadFromSourceOrFallBack) {
    temp_folder tmp;
    const std::string good = "\xEF\xBB\xBF" + std::string(R"({"format": "mivra-catalog-1",
        "models": [{"id": "local", "repo": "o/local"}], "mivra": {"latest": "0.3", "url": "u"}})");
    write_text(tmp / "good.json", good);
    write_text(tmp / "bad-type.json", catalog("[" + model("a", R"(, "recommended": 1)") + "]"));
    write_text(tmp / "no-repo.json", catalog(R"([{"id": "a"}])") );
    write_text(tmp / "note-not-object.json",
               R"({"format": "mivra-catalog-1", "models": [{"id": "n", "repo": "o/n"}], "mivra": "0.9"})");

    std::vector<std::string> fetched;
    auto fetcher = [&](const std::string& body, bool ok) {
        return [&fetched, body, ok](const std::string& url, std::string& out, std::string& error) {
            fetched.push_back(url);
            if (ok) out = body;
            else error = "offline";
            return ok;
        };
    };
    const std::vector<std::string> builtin = {"qwen3-30b-a3b"};

    // A local file with a byte order mark is used and its note kept.
    catalog_update_info = nullptr;
    EXPECT_EQ(ids_of(load_catalog_from((tmp / "good.json").string(), nullptr)), std::vector<std::string>{"local"});
    EXPECT_EQ(catalog_update_info, json({{"latest", "0.3"}, {"url", "u"}}));

    // Failures fall back silently and leave the note alone.
    for (const std::string& source : {(tmp / "missing.json").string(), (tmp / "bad-type.json").string(),
                                     (tmp / "no-repo.json").string(), tmp.path.string(),
                                     std::string("http://127.0.0.1:1/models.json"), std::string()}) {
        SCOPED_TRACE(source);
        EXPECT_EQ(ids_of(load_catalog_from(source, fetcher(good, true))), builtin);
        EXPECT_EQ(catalog_update_info["latest"], "0.3");
    }
    EXPECT_TRUE(fetched.empty()) << "only https:// addresses are fetched";

    // A note that is not an object leaves the old one.
    EXPECT_EQ(ids_of(load_catalog_from((tmp / "note-not-object.json").string(), nullptr)),
              std::vector<std::string>{"n"});
    EXPECT_EQ(catalog_update_info["latest"], "0.3");

    // https:// goes through the fetcher; its failure gives the built-in list.
    catalog_update_info = nullptr;
    EXPECT_EQ(ids_of(load_catalog_from("https://example.test/c.json", fetcher(good, true))),
              std::vector<std::string>{"local"});
    EXPECT_EQ(fetched, std::vector<std::string>{"https://example.test/c.json"});
    EXPECT_EQ(catalog_update_info["url"], "u");
    catalog_update_info = nullptr;
    EXPECT_EQ(ids_of(load_catalog_from("https://example.test/c.json", fetcher(good, false))), builtin);
    EXPECT_EQ(ids_of(load_catalog_from("https://example.test/c.json", fetcher("not json", true))), builtin);
    EXPECT_TRUE(catalog_update_info.is_null());
}

TEST(Catalog, CompareVersions) {
    struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"0.1", "0.2", -1},   {"0.2", "0.1.9", 1}, {"", "0", 0},        {"0.1", "0.1.0", 0},
        {"0.10", "0.9", 1},   {"1", "1.0", 0},     {"0-beta", "0", 0},  {"v0.2", "0.1", 1},
        {"0.1.", "0.1", 0},   {" 2", "1", 1},      {"-1", "0", -1},     {"+3.0", "3", 0},
        {"0..1", "0.0.1", 0}, {"1.2.3", "1.2.4", -1},
        {"99999999999999999999999", "1", 1},  // saturates like the C library
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compare_versions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(compare_versions(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
    }
}
