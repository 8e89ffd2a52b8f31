// The skill market against a GitHub imitation on 127.0.0.1: the skill folders of each source, the entries made of
// their SKILL.md, the collected errors, the hour's cache and the bound on fetch threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "connectors/skill_install.h"
#include "connectors/skill_market.h"
#include "skill_test_support.h"

using nlohmann::json;

namespace {

// A catalog with these skill sources, counting how often it is loaded.
struct counted_catalog {
    json sources;
    std::atomic<int> loads{0};
    std::function<json()> loader() {
        return [this] {
            ++loads;
            return json{{"format", "mivra-connectors-1"}, {"connectors", json::array()}, {"skill_sources", sources}};
        };
    }
};

json entry(const std::string& name, const std::string& folder, const std::string& description, const std::string& by,
           const std::string& license, const std::string& url) {
    return {{"name", name}, {"folder", folder}, {"description", description},
            {"by", by},     {"license", license}, {"url", url}};
}

}  // namespace

TEST(SkillMarket, ListsTheSkillFoldersOfEachSource) {
    github().add_repo("acme", "market", "HEAD",
                      {{"skills/pdf/SKILL.md", "---\nname: PDF\ndescription: >\n  Read and\n  fill PDFs\n---\n"},
                       {"skills/pdf/sub/SKILL.md", "---\nname: too deep\n---\n"},
                       {"skills/SKILL.md", "---\nname: the folder itself\n---\n"},
                       {"skills/plain/SKILL.md", "no front matter\n"},
                       {"skills/c++/SKILL.md", "---\nname: cpp\n---\n"},
                       {"skills/gone/SKILL.md", "---\nname: unreachable\n---\n"},
                       {"other/x/SKILL.md", "---\nname: elsewhere\n---\n"}});
    github().set_raw_answer("acme/market/HEAD/skills/gone/SKILL.md", 500, "down");
    github().add_repo("bob", "tools", "dev", {{"lint/SKILL.md", "---\nname: Lint\ndescription: Lints\n---\n"},
                                              {"lint/deep/SKILL.md", "---\nname: no\n---\n"},
                                              {"SKILL.md", "---\nname: root\n---\n"}});
    const json sources = {
        {{"repo", "acme/market"}, {"path", "skills"}, {"by", "Acme"}, {"license", "MIT"}},
        // The source's branch wins over the link's; without "by" the owner publishes; no path: the top level.
        {{"repo", github().web_prefix() + "bob/tools/tree/main"}, {"branch", "dev"}},
    };
    std::string errors;
    const json market = collect_skill_market(sources, errors);
    EXPECT_EQ(errors, "");
    const std::string tree = github().web_prefix() + "acme/market/tree/HEAD/skills/";
    EXPECT_EQ(market, json::array({
                          entry("cpp", "c++", "", "Acme", "MIT", tree + "c%2B%2B"),
                          entry("gone", "gone", "", "Acme", "MIT", tree + "gone"),
                          entry("PDF", "pdf", "Read and fill PDFs", "Acme", "MIT", tree + "pdf"),
                          entry("plain", "plain", "", "Acme", "MIT", tree + "plain"),
                          entry("Lint", "lint", "Lints", "bob", "", github().web_prefix() + "bob/tools/tree/dev/lint"),
                      }));

    // Every "url" installs its skill, the one with '+' in its name too.
    skills_dir_setting s;
    EXPECT_EQ(install_skill_from_github(market[0]["url"])["installed"], "cpp");
    EXPECT_EQ(files_below(s.skills), std::vector<std::string>{"c--/SKILL.md"});

    const json marked = mark_installed_skills(market, list_installed_skills());
    ASSERT_EQ(marked.size(), market.size());
    EXPECT_EQ(marked[0]["installed"], false);  // the folder installed is "c--", not "c++"
    s.add("pdf", "x");
    EXPECT_EQ(mark_installed_skills(market, list_installed_skills())[2]["installed"], true);
}

TEST(SkillMarket, CollectsTheErrorsOfFailingSources) {
    github().add_repo("acme", "good", "HEAD", {{"a/SKILL.md", "---\nname: A\n---\n"}});
    counted_catalog catalog;
    catalog.sources = {{{"repo", "acme/nowhere"}}, {{"repo", "acme/good"}}};
    skill_market_cache cache;
    EXPECT_EQ(skill_market(cache, catalog.loader()).size(), 1u);  // one failing source of two: no error

    catalog.sources = {{{"repo", "acme/nowhere"}}, {{"repo", "lonely"}}, {{"repo", 5}}};
    std::string errors;
    EXPECT_EQ(collect_skill_market(catalog.sources, errors), json::array());
    const std::string missing =
        "GitHub: HTTP 404, not found: " + github().api_prefix() + "repos/acme/nowhere/git/trees/HEAD?recursive=1 ";
    EXPECT_EQ(errors.substr(0, missing.size()), missing);
    EXPECT_NE(errors.find(" that is not a GitHub repository link "), std::string::npos) << errors;
    EXPECT_TRUE(errors.ends_with(" ")) << errors;

    skill_market_cache fresh;
    EXPECT_EQ(error_of([&] { skill_market(fresh, catalog.loader()); }), errors);
    EXPECT_EQ(error_of([&] { skill_market(fresh, catalog.loader()); }), errors);  // a failure is not cached
    EXPECT_EQ(catalog.loads, 3);
}

TEST(SkillMarket, BuildsOnceAnHourAndOnceForSimultaneousCallers) {
    std::map<std::string, std::string> files;
    for (int i = 10; i < 30; ++i) files["s/k" + std::to_string(i) + "/SKILL.md"] = "---\nname: n" + std::to_string(i);
    github().add_repo("acme", "twenty", "HEAD", files);
    github().set_raw_delay_ms(50);
    counted_catalog catalog;
    catalog.sources = {{{"repo", "acme/twenty"}, {"path", "s"}}};
    skill_market_cache cache;
    json first, second;
    std::thread other([&] { second = skill_market(cache, catalog.loader()); });
    first = skill_market(cache, catalog.loader());
    other.join();
    github().set_raw_delay_ms(0);

    EXPECT_EQ(catalog.loads, 1);
    EXPECT_EQ(github().tree_requests("acme", "twenty"), 1);
    ASSERT_EQ(first.size(), 20u);
    EXPECT_EQ(first, second);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(first[i]["name"], "n" + std::to_string(i + 10));
    EXPECT_LE(github().most_raw_at_once(), 8);
    EXPECT_GE(github().most_raw_at_once(), 2);

    // No sources at all: an empty list, kept for the hour like any other.
    counted_catalog empty;
    skill_market_cache empty_cache;
    EXPECT_EQ(skill_market(empty_cache, empty.loader()), json::array());
    EXPECT_EQ(skill_market(empty_cache, empty.loader()), json::array());
    EXPECT_EQ(empty.loads, 1);
}
