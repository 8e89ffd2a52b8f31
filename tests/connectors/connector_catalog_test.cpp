// The connector catalog: its sources and fallback, the hour-long cache, the lookup and the filling of the user's
// values, on real files in a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "connectors/connector_catalog.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct catalog_test : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("mivra-catalog-" + std::to_string(::getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    }
};

std::vector<std::string> ids_of(const json& catalog) {
    std::vector<std::string> ids;
    for (const auto& entry : catalog["connectors"]) ids.push_back(entry.value("id", ""));
    return ids;
}

const std::string own_catalog =
    R"({"format":"mivra-connectors-1","connectors":[{"id":"mine","command":"node","args":["x"]}]})";

}  // namespace

TEST(connector_catalog, built_in_catalog_lists_its_connectors_in_order) {
    json catalog = json::parse(default_connector_catalog_text);
    EXPECT_EQ(catalog["format"], "mivra-connectors-1");
    EXPECT_EQ(ids_of(catalog),
              (std::vector<std::string>{"filesystem", "git", "github", "memory", "sequential-thinking", "time",
                                        "playwright", "chrome-devtools", "fetch", "context7", "brave-search",
                                        "tavily", "exa", "firecrawl", "notion", "linear", "sentry", "figma",
                                        "supabase", "shopify-dev", "netlify"}));
    for (const auto& entry : catalog["connectors"]) {
        SCOPED_TRACE(entry.dump());
        EXPECT_FALSE(entry.value("about", "").empty());
        EXPECT_TRUE(entry["runtime"] == "node" || entry["runtime"] == "python");
        EXPECT_EQ(entry["command"], entry["runtime"] == "node" ? "npx" : "uvx");
        for (const auto& field : entry.value("fields", json::array())) {
            if (field["kind"] == "secret") {
                EXPECT_EQ(field.value("help", "").rfind("https://", 0), 0u);
            }
        }
        const std::set<std::string> known = {"id",    "name",    "by",   "category", "runtime",
                                             "about", "command", "args", "env",      "fields"};
        for (const auto& [key, value] : entry.items()) EXPECT_TRUE(known.count(key)) << key;
    }
    EXPECT_EQ(catalog["skill_sources"], json::parse(R"([{"repo":"anthropics/skills","path":"skills",
        "branch":"HEAD","by":"Anthropic","license":"Apache-2.0"}])"));
    json github = find_catalog_connector(catalog, "github");
    EXPECT_EQ(github["env"], json({{"AUTH_HEADER", "Bearer {TOKEN}"}}));
    EXPECT_EQ(github["args"][3], "--header");
    EXPECT_EQ(github["args"][4], "Authorization:${AUTH_HEADER}");
}

TEST_F(catalog_test, sources_that_cannot_be_used_give_the_built_in_catalog) {
    struct source_case {
        const char* what;
        std::string source;
        std::vector<std::string> ids;  // empty: the built-in catalog
    };
    std::string bom = "\xEF\xBB\xBF";
    std::vector<source_case> cases = {
        {"a local file", write("plain.json", own_catalog), {"mine"}},
        {"a local file with a byte-order mark", write("bom.json", bom + own_catalog), {"mine"}},
        {"\"connectors\" as an object", write("object.json",
            R"({"format":"mivra-connectors-1","connectors":{"z":{"id":"zed"},"a":{"id":"ay"}}})"), {"ay", "zed"}},
        {"a format one character off", write("format.json",
            R"({"format":"mivra-connectors-2","connectors":[{"id":"mine"}]})"), {}},
        {"no format", write("noformat.json", R"({"connectors":[{"id":"mine"}]})"), {}},
        {"no connectors", write("noconnectors.json", R"({"format":"mivra-connectors-1"})"), {}},
        {"not JSON", write("broken.json", R"({"format":"mivra-connectors-1",)"), {}},
        {"an array", write("array.json", "[" + own_catalog + "]"), {}},
        {"an http:// address", "http://127.0.0.1:9/connectors.json", {}},
        {"a missing file", (dir / "missing.json").string(), {}},
        {"a folder", dir.string(), {}},
    };
    std::vector<std::string> built_in = ids_of(json::parse(default_connector_catalog_text));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        json catalog = read_connector_catalog(c.source);
        EXPECT_EQ(ids_of(catalog), c.ids.empty() ? built_in : c.ids);
    }
    json object_catalog = read_connector_catalog((dir / "object.json").string());
    EXPECT_EQ(find_catalog_connector(object_catalog, "zed"), json({{"id", "zed"}}));
}

TEST_F(catalog_test, the_source_is_read_once_an_hour_even_when_it_failed) {
    std::string good = write("good.json", own_catalog);
    ::setenv("MIVRA_CONNECTORS", good.c_str(), 1);
    connector_catalog_cache cache;
    EXPECT_EQ(ids_of(load_connector_catalog(cache)), std::vector<std::string>{"mine"});
    write("good.json", R"({"format":"mivra-connectors-1","connectors":[{"id":"changed"}]})");
    EXPECT_EQ(ids_of(load_connector_catalog(cache)), std::vector<std::string>{"mine"});

    std::string later = (dir / "later.json").string();
    ::setenv("MIVRA_CONNECTORS", later.c_str(), 1);
    connector_catalog_cache failed;
    EXPECT_EQ(load_connector_catalog(failed)["connectors"].size(), 21u);
    write("later.json", own_catalog);
    EXPECT_EQ(load_connector_catalog(failed)["connectors"].size(), 21u);
    ::unsetenv("MIVRA_CONNECTORS");
}

TEST(connector_catalog, source_is_the_variable_or_the_hub_dataset) {
    ::setenv("MIVRA_CONNECTORS", "", 1);
    ::unsetenv("HF_ENDPOINT");
    EXPECT_EQ(connector_catalog_source(),
              "https://huggingface.co/datasets/Pellbrook1/mivra-catalog/resolve/main/connectors.json");
    ::setenv("HF_ENDPOINT", "https://hub.example.test//", 1);
    EXPECT_EQ(connector_catalog_source(),
              "https://hub.example.test/datasets/Pellbrook1/mivra-catalog/resolve/main/connectors.json");
    ::setenv("MIVRA_CONNECTORS", "/tmp/c.json", 1);
    EXPECT_EQ(connector_catalog_source(), "/tmp/c.json");
    ::unsetenv("MIVRA_CONNECTORS");
    ::unsetenv("HF_ENDPOINT");
}

TEST(connector_catalog, an_unknown_id_is_not_found_even_in_another_case) {
    json catalog = json::parse(default_connector_catalog_text);
    EXPECT_EQ(find_catalog_connector(catalog, "memory")["name"], "Memory");
    for (std::string id : {"Memory", "nothing", ""}) {
        try {
            find_catalog_connector(catalog, id);
            ADD_FAILURE() << id;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), ("no connector \"" + id + "\" in the list; use find_connectors to see what there is")
                                       .c_str());
        }
    }
    EXPECT_THROW(find_catalog_connector(json::object(), "memory"), std::runtime_error);
}

TEST_F(catalog_test, values_fill_the_placeholders) {
    json catalog = json::parse(default_connector_catalog_text);
    json files = find_catalog_connector(catalog, "filesystem");
    std::string folder = dir.string();
    std::string file = write("a-file.txt", "x");

    json config = connector_from_catalog(files, {{"FOLDER", "  \t" + folder + "\r\n"}});
    EXPECT_EQ(config, json({{"command", "npx"},
                            {"args", {"-y", "@modelcontextprotocol/server-filesystem", folder}},
                            {"market", "filesystem"}}));

    struct failing_case {
        json values;
        std::string error;
    };
    std::vector<failing_case> failing = {
        {json::object(), "needs Folder it may use (\"FOLDER\")"},
        {{{"FOLDER", " \r\n"}}, "needs Folder it may use (\"FOLDER\")"},
        {{{"FOLDER", 7}}, "needs Folder it may use (\"FOLDER\")"},
        {json::array({folder}), "needs Folder it may use (\"FOLDER\")"},
        {{{"FOLDER", file}}, "Folder it may use: no such folder: " + file},
        {{{"FOLDER", " " + (dir / "nowhere").string()}}, "Folder it may use: no such folder: " + (dir / "nowhere").string()},
    };
    for (const auto& c : failing) {
        SCOPED_TRACE(c.values.dump());
        try {
            connector_from_catalog(files, c.values);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }

    json brave = connector_from_catalog(find_catalog_connector(catalog, "brave-search"), {{"KEY", "k{KEY}"}});
    EXPECT_EQ(brave["env"], json({{"BRAVE_API_KEY", "k{KEY}"}}));  // inserted once, not expanded again
    json github = connector_from_catalog(find_catalog_connector(catalog, "github"), {{"TOKEN", "tok"}});
    EXPECT_EQ(github["env"], json({{"AUTH_HEADER", "Bearer tok"}}));
    EXPECT_EQ(github["args"][4], "Authorization:${AUTH_HEADER}");
}

TEST(connector_catalog, entries_of_other_shapes) {
    // A field whose placeholder no text uses needs no value; a field without a label is named by its key; "env"
    // names stay as they are; an empty "env" gives none.
    json entry = json::parse(R"({"id":"x","command":"run","args":["--a={A}","{A}{A}","plain"],
        "env":{"lower_name":"{B}"},"fields":[{"key":"A"},{"key":"B","label":"Bee"},{"key":"UNUSED","label":"U"}]})");
    EXPECT_EQ(connector_from_catalog(entry, {{"A", "1"}, {"B", "2"}}),
              json::parse(R"({"command":"run","args":["--a=1","11","plain"],"env":{"lower_name":"2"},"market":"x"})"));
    try {
        connector_from_catalog(entry, {{"B", "2"}});
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "needs A (\"A\")");
    }
    EXPECT_EQ(connector_from_catalog(json::parse(R"({"command":["a"],"env":{}})"), json::object()),
              json::parse(R"({"command":["a"],"args":[],"market":""})"));

    EXPECT_THROW(connector_from_catalog(json::parse(R"({"id":"x"})"), json::object()), json::out_of_range);
    EXPECT_THROW(connector_from_catalog(json::parse(R"({"command":"a","args":[1]})"), json::object()),
                 json::type_error);
    EXPECT_THROW(connector_from_catalog(json::parse(R"({"command":"a","env":{"A":1}})"), json::object()),
                 json::type_error);
    EXPECT_THROW(connector_from_catalog(json::parse(R"({"command":"a","env":"A"})"), json::object()),
                 json::type_error);
}
