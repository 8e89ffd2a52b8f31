// GET /agent/state and POST /agent/settings on a real `mivra serve`: what the page sees of the settings (never a
// key), the project's instruction file, and settings requests that are all or nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "agent_user.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct settings_server {
    agent_user user;
    std::unique_ptr<serve_process> server;
    std::string token;

    explicit settings_server(json settings = json::object()) {
        settings["workspace"] = user.workspace.string();
        user.seed_settings(settings);
        server = std::make_unique<serve_process>(user.options());
        token = page_token(server->client()->Get("/simple")->body);
    }
    answer send(const std::string& method, const std::string& path, const std::string& body = "") const {
        auto c = server->client();
        c->set_read_timeout(std::chrono::seconds(60));
        const httplib::Headers headers = {{"X-Mivra-Token", token}};
        auto res = method == "GET" ? c->Get(path, headers) : c->Post(path, headers, body, "application/json");
        if (!res) throw std::runtime_error("no answer to " + path + ": " + httplib::to_string(res.error()));
        answer a;
        a.status = res->status;
        a.body = res->body;
        a.headers = res->headers;
        return a;
    }
    json state() const {
        const answer a = send("GET", "/agent/state");
        EXPECT_EQ(a.status, 200) << a.body;
        EXPECT_EQ(a.header("Content-Type"), "application/json");
        return json::parse(a.body);
    }
    answer post_settings(const json& body) const { return send("POST", "/agent/settings", body.dump()); }
};

}  // namespace

TEST(AgentStateRoute, WhatThePageSees) {
    settings_server s(json{{"brave_api_key", "search-secret"},
                       {"provider", {{"kind", "openai"}, {"base_url", "https://api.example"}, {"model", "m"}}},
                       {"provider_keys", {{"https://api.example", "provider-secret"}}}});
    json state = s.state();
    EXPECT_EQ(state["version"], "0.1");
    EXPECT_EQ(state["update"], nullptr);
    EXPECT_EQ(state["tools"].size(), 15u);
    EXPECT_EQ(state["tools"][6]["function"]["name"], "run_command");
    EXPECT_EQ(state["skills"], json::array());
    EXPECT_EQ(state["connectors"], json::array());
    EXPECT_EQ(state["instructions"], nullptr);
    EXPECT_EQ(state["settings_file"], s.user.settings.string());
    const json& view = state["settings"];
    EXPECT_FALSE(view.contains("provider_keys"));
    EXPECT_EQ(view["brave_api_key"], "");
    EXPECT_EQ(view["brave_key_set"], true);
    EXPECT_EQ(view["provider"]["has_key"], true);
    EXPECT_EQ(state.dump().find("secret"), std::string::npos) << state.dump();

    // The first regular file of MIVRA.md, AGENTS.md, CLAUDE.md, cut to 8000 bytes.
    fs::create_directories(s.user.workspace / "MIVRA.md");  // a folder, not a file
    write_text(s.user.workspace / "CLAUDE.md", "claude");
    write_text(s.user.workspace / "AGENTS.md", std::string(20000, 'a'));
    state = s.state();
    EXPECT_EQ(state["instructions"]["file"], "AGENTS.md");
    EXPECT_EQ(state["instructions"]["text"], std::string(8000, 'a'));
}

TEST(AgentStateRoute, ConnectorEntriesFromTheSettings) {
    settings_server s(json{{"mcpServers",
                        {{"off", {{"command", "npx"}, {"args", {"-y", 7, "pkg"}}, {"disabled", true}}},
                         {"remote", {{"url", "http://127.0.0.1:9/mcp"}, {"market", "cat-id"}, {"disabled", true}}}}}});
    const json connectors = s.state()["connectors"];
    ASSERT_EQ(connectors.size(), 2u);
    EXPECT_EQ(connectors[0].dump(),
              R"({"command":"npx -y pkg","enabled":false,"error":"","market":"","name":"off","ok":false,)"
              R"("starting":false,"tool_names":[],"tools":0})");
    EXPECT_EQ(connectors[1]["market"], "cat-id");
    EXPECT_EQ(connectors[1]["command"], "");
}

TEST(AgentSettingsRoute, SearchKeyIsKeptUnlessCleared) {
    settings_server s(json{{"brave_api_key", "search-secret"}});
    EXPECT_EQ(s.post_settings({{"brave_api_key", ""}, {"thinking", true}}).body, R"({"ok":true})");
    json view = s.state()["settings"];
    EXPECT_EQ(view["brave_key_set"], true);
    EXPECT_EQ(view["thinking"], true);
    EXPECT_EQ(s.post_settings({{"brave_api_key", ""}, {"brave_key_clear", true}}).body, R"({"ok":true})");
    EXPECT_EQ(s.state()["settings"]["brave_key_set"], false);
    EXPECT_EQ(s.post_settings({{"brave_api_key", "new-key"}}).status, 200);
    EXPECT_EQ(s.state()["settings"]["brave_key_set"], true);
    EXPECT_EQ(read_text(s.user.settings).find("new-key"), std::string::npos);  // stored encrypted
}

TEST(AgentSettingsRoute, ProviderAddressAndKey) {
    settings_server s;
    const std::string before = read_text(s.user.settings);
    const answer refused = s.post_settings({{"provider", {{"kind", "openai"}, {"base_url", "x.com"}}}});
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(json::parse(refused.body)["error"],
              "the provider address must start with https:// (or http:// for a program on this PC)");
    EXPECT_EQ(read_text(s.user.settings), before);
    EXPECT_EQ(s.state()["settings"]["provider"]["kind"], "mivra");

    // Trimmed address; the key stored under it; "has_key" from the request is ignored.
    ASSERT_EQ(s.post_settings({{"provider", {{"kind", "openai"}, {"base_url", "  https://api.example/ / "},
                                             {"model", "m"}, {"has_key", true}}},
                               {"provider_key", "pk"}})
                  .status,
              200);
    json provider = s.state()["settings"]["provider"];
    EXPECT_EQ(provider["base_url"], "https://api.example");
    EXPECT_EQ(provider["has_key"], true);
    // A key without "provider" stores nothing; a clear removes it.
    EXPECT_EQ(s.post_settings({{"provider_key", "other"}}).status, 200);
    EXPECT_EQ(s.post_settings({{"provider", provider}, {"provider_key_clear", true}}).status, 200);
    EXPECT_EQ(s.state()["settings"]["provider"]["has_key"], false);
    // Any address is taken for the built-in model.
    EXPECT_EQ(s.post_settings({{"provider", {{"kind", "mivra"}, {"base_url", "x.com"}}}}).status, 200);
}

TEST(AgentSettingsRoute, OnlyKnownKeysAndValidPermissions) {
    settings_server s;
    ASSERT_EQ(s.post_settings({{"permissions", {{"read", "sometimes"}, {"write", "deny"}}},
                               {"provider_keys", {{"https://a.example", "k"}}},
                               {"not_a_setting", 1}})
                  .body,
              R"({"ok":true})");
    const json view = s.state()["settings"];
    EXPECT_EQ(view["permissions"], json({{"read", "ask"}, {"write", "deny"}}));
    EXPECT_FALSE(view.contains("not_a_setting"));
    EXPECT_EQ(json::parse(read_text(s.user.settings))["provider_keys"], json::object());

    const std::string before = read_text(s.user.settings);
    for (const std::string& body : {std::string("[1,2]"), std::string("{"), std::string(R"({"provider": 3})")}) {
        const answer a = s.send("POST", "/agent/settings", body);
        EXPECT_EQ(a.status, 400) << body;
        EXPECT_TRUE(json::parse(a.body)["error"].is_string()) << a.body;
    }
    EXPECT_EQ(read_text(s.user.settings), before);
    EXPECT_EQ(s.send("POST", "/agent/settings", "null").body, R"({"ok":true})");

    // A project folder that cannot be made fails the whole request.
    write_text(s.user.dir / "a-file", "x");
    const answer a = s.post_settings({{"workspace", (s.user.dir / "a-file" / "sub").string()}, {"thinking", true}});
    EXPECT_EQ(a.status, 400);
    EXPECT_EQ(json::parse(a.body)["error"], "the project folder doesn't exist and can't be created");
    EXPECT_EQ(s.state()["settings"]["thinking"], false);
}
