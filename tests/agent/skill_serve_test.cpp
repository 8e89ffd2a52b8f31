// The skill routes on a real `mivra serve` whose connector catalog names skill sources on a GitHub imitation of the
// test's own: GET /agent/skill_market and POST /agent/skill (install, write, remove) as the agent page uses them.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "agent_user.h"
#include "fake_github.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A server whose catalog holds `skill_sources`, on `github`, with its skills folder at user.dir / "skills".
struct skill_server {
    agent_user user;
    fs::path skills = user.dir / "skills";
    std::unique_ptr<serve_process> server;
    std::string token;

    skill_server(const fake_github& github, const json& skill_sources) {
        user.seed_settings({{"skills_dir", skills.string()}, {"workspace", user.workspace.string()}});
        const fs::path catalog = user.dir / "connectors.json";
        write_text(catalog, json{{"format", "mivra-connectors-1"},
                                 {"connectors", json::array()},
                                 {"skill_sources", skill_sources}}
                                .dump());
        serve_options options = user.options();
        for (const auto& [name, value] : github.environment()) options.env[name] = value;
        options.env["MIVRA_CONNECTORS"] = catalog.string();
        server = std::make_unique<serve_process>(options);
        token = page_token(server->client()->Get("/simple")->body);
    }
    answer get(const std::string& path, bool with_token = true) const {
        auto res = server->client()->Get(path, with_token ? httplib::Headers{{"X-Mivra-Token", token}}
                                                          : httplib::Headers{});
        if (!res) throw std::runtime_error("no answer: " + httplib::to_string(res.error()));
        return {res->status, res->body, res->headers};
    }
    answer post(const std::string& path, const std::string& body, bool with_token = true) const {
        auto res = server->client()->Post(
            path, with_token ? httplib::Headers{{"X-Mivra-Token", token}} : httplib::Headers{}, body,
            "application/json");
        if (!res) throw std::runtime_error("no answer: " + httplib::to_string(res.error()));
        return {res->status, res->body, res->headers};
    }
};

const std::string pdf_skill = "---\nname: pdf\ndescription: Read PDFs\n---\n# PDF\n";

}  // namespace

TEST(SkillServe, TheMarketListsASourceAndItsSkillsInstallAndRemove) {
    fake_github github;
    github.add_repo("acme", "kit", "HEAD",
                    {{"skills/pdf/SKILL.md", pdf_skill},
                     {"skills/pdf/scripts/fill.py", "print(1)\n"},
                     {"skills/pdf/ref.md", "r"},
                     {"skills/docx/SKILL.md", "---\ndescription: Word files\n---\n"}});
    github.start();
    skill_server s(github, json::array({{{"repo", "acme/kit"}, {"path", "skills"}, {"by", "Acme"}, {"license", "MIT"}},
                                        {{"repo", "acme/nowhere"}}}));

    // One failing source of two: the other's skills, status 200.
    answer a = s.get("/agent/skill_market");
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(a.header("Content-Type"), "application/json");
    const std::string tree = github.web_prefix() + "acme/kit/tree/HEAD/skills/";
    EXPECT_EQ(json::parse(a.body),
              (json{{"skills",
                     {{{"by", "Acme"}, {"description", "Word files"}, {"folder", "docx"}, {"license", "MIT"},
                       {"name", "docx"}, {"url", tree + "docx"}},
                      {{"by", "Acme"}, {"description", "Read PDFs"}, {"folder", "pdf"}, {"license", "MIT"},
                       {"name", "pdf"}, {"url", tree + "pdf"}}}}}));
    EXPECT_EQ(s.get("/agent/skill_market").body, a.body);  // from the cache
    EXPECT_EQ(github.tree_requests("acme", "kit"), 1);
    EXPECT_EQ(github.tree_requests("acme", "nowhere"), 1);

    // Install through the market's link, then remove.
    a = s.post("/agent/skill", json{{"action", "install"}, {"url", tree + "pdf"}}.dump());
    ASSERT_EQ(a.status, 200) << a.body;
    const json installed = {{"description", "Read PDFs"}, {"files", 3}, {"folder", (s.skills / "pdf").string()},
                            {"installed", "pdf"},        {"source", tree + "pdf"}};
    EXPECT_EQ(a.body, installed.dump());
    EXPECT_EQ(read_text(s.skills / "pdf" / "scripts" / "fill.py"), "print(1)\n");
    EXPECT_EQ(github.tree_requests("acme", "kit"), 1);  // the listing of the market serves the install

    a = s.post("/agent/skill", R"({"action":"remove","name":"pdf"})");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, R"({"removed":"pdf"})");
    EXPECT_FALSE(fs::exists(s.skills / "pdf"));

    // Writing a skill of one's own.
    a = s.post("/agent/skill", R"({"action":"install","name":"Notes","description":"d","instructions":"Be brief."})");
    EXPECT_EQ(a.status, 200);
    const json written = {{"folder", (s.skills / "Notes").string()}, {"installed", "Notes"}};
    EXPECT_EQ(a.body, written.dump());
    EXPECT_EQ(read_text(s.skills / "Notes" / "SKILL.md"), "---\nname: Notes\ndescription: d\n---\n\nBe brief.\n");

    // Errors: status 400 with the text; the guard first.
    const std::pair<std::string, std::string> refused[] = {
        {R"({"action":"Install"})", R"({"error":"unknown action"})"},
        {R"({})", R"({"error":"unknown action"})"},
        {R"({"action":"remove","name":"pdf"})", R"({"error":"no skill named pdf"})"},
        {R"({"action":"install"})",
         R"({"error":"give url (a GitHub link to a skill folder) or name + description + instructions to write a new skill"})"},
        {R"({"action":"install","url":"acme/kit/skills"})",
         json{{"error", "this folder has 2 skills; install one by its link (" + tree + "docx). Skills here: docx, pdf"}}
             .dump()},
    };
    for (const auto& [body, reply] : refused) {
        a = s.post("/agent/skill", body);
        EXPECT_EQ(a.status, 400) << body;
        EXPECT_EQ(a.body, reply) << body;
    }
    a = s.post("/agent/skill", R"({"action":"remove"})");
    EXPECT_EQ(a.status, 400);
    EXPECT_NE(a.body.find("key 'name' not found"), std::string::npos) << a.body;
    a = s.post("/agent/skill", "");
    EXPECT_EQ(a.status, 400);
    EXPECT_NE(a.body.find("parse error"), std::string::npos) << a.body;
    EXPECT_EQ(s.post("/agent/skill", R"({"action":"remove","name":"Notes"})", false).status, 403);
    EXPECT_EQ(s.get("/agent/skill_market", false).status, 403);
    EXPECT_TRUE(fs::exists(s.skills / "Notes" / "SKILL.md"));
}

TEST(SkillServe, AMarketWhoseSourcesAllFailAnswersTheCollectedText) {
    fake_github github;
    github.start();
    skill_server s(github, json::array({{{"repo", "acme/nowhere"}}, {{"repo", "nothing"}}}));
    const answer a = s.get("/agent/skill_market");
    EXPECT_EQ(a.status, 400);
    const json collected = {{"error", "GitHub: HTTP 404, not found: " + github.api_prefix() +
                                          "repos/acme/nowhere/git/trees/HEAD?recursive=1 that is not a GitHub "
                                          "repository link "}};
    EXPECT_EQ(a.body, collected.dump());
}
