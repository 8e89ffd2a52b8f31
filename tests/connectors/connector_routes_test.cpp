// GET /agent/market and POST /agent/connector on a real `mivra serve`, with the user's home, data, config and
// settings in a temporary folder and the connector catalog read from a local file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <future>
#include <string>

#include "agent/agent_user.h"
#include "connector_test_support.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct connector_server {
    agent_user user;
    fs::path catalog = user.dir / "connectors.json";
    fs::path home = user.dir / "home";
    std::unique_ptr<serve_process> server;
    std::string token;

    connector_server() {
        json entries = {
            {{"id", "fake-python"}, {"runtime", "python"}, {"command", "uvx"}, {"args", {"fake-server"}}},
            {{"id", "fake-node"}, {"runtime", "node"}, {"command", "node"}, {"args", fake_config("plain")["args"]}},
        };
        write_text(catalog, "\xEF\xBB\xBF" + json({{"format", "mivra-connectors-1"}, {"connectors", entries}}).dump());
        fs::create_directories(home);
        serve_options options = user.options();
        options.env["MIVRA_CONNECTORS"] = catalog.string();
        server = std::make_unique<serve_process>(options);
        token = page_token(server->client()->Get("/simple")->body);
    }
    answer get(const std::string& path, bool with_token = true) const {
        httplib::Headers headers;
        if (with_token) headers.emplace("X-Mivra-Token", token);
        auto res = server->client()->Get(path, headers);
        if (!res) throw std::runtime_error("no answer");
        return {res->status, res->body, res->headers};
    }
    answer post(const std::string& body, bool with_token = true) const {
        httplib::Headers headers;
        if (with_token) headers.emplace("X-Mivra-Token", token);
        auto c = server->client();
        c->set_read_timeout(std::chrono::seconds(120));
        auto res = c->Post("/agent/connector", headers, body, "application/json");
        if (!res) throw std::runtime_error("no answer");
        return {res->status, res->body, res->headers};
    }
    // One tool through POST /agent/tool, approved: the gate's reply.
    json tool(const std::string& name, const json& arguments) const {
        auto c = server->client();
        c->set_read_timeout(std::chrono::seconds(120));
        auto res = c->Post("/agent/tool", {{"X-Mivra-Token", token}},
                           json({{"name", name}, {"arguments", arguments}, {"approved", true}}).dump(),
                           "application/json");
        if (!res) throw std::runtime_error("no answer");
        return json::parse(res->body);
    }
    // The agent state once the start-all pass that the first state request launches has run: every configured
    // connector running or failed.
    json state_when_started() const {
        json state;
        bool started = wait_for(
            [&] {
                const answer a = get("/agent/state");
                if (a.status != 200) return false;
                state = json::parse(a.body);
                for (const json& entry : state["connectors"]) {
                    if (entry["starting"] == true || (entry["ok"] != true && entry["error"] == "not started"))
                        return false;
                }
                return true;
            },
            60000);
        if (!started) throw std::runtime_error("connectors not started: " + state.dump());
        return state;
    }
    json settings_servers() const { return json::parse(read_text(user.settings))["mcpServers"]; }
};

}  // namespace

TEST(connector_routes, add_disable_enable_and_remove_by_hand) {
    connector_server s;
    std::string everything = own_npm_server("mcp-server-everything");
    answer added = s.post(json({{"action", "add"}, {"name", "Every Thing"}, {"command", everything}}).dump());
    EXPECT_EQ(added.status, 200);
    EXPECT_EQ(added.header("Content-Type"), "application/json");
    EXPECT_EQ(added.body, R"({"connected":true,"name":"every-thing"})");
    EXPECT_EQ(s.settings_servers()["every-thing"], json({{"command", everything}, {"args", json::array()}}));
    // Connectors are not started yet, so the test start leaves no server running.
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(everything).empty(); }, 3000));

    answer disabled = s.post(R"({"action":"disable","name":"every-thing"})");
    EXPECT_EQ(disabled.body, R"({"enabled":false,"name":"every-thing"})");
    EXPECT_EQ(s.settings_servers()["every-thing"]["disabled"], true);

    answer enabled = s.post(R"({"action":"enable","name":"every-thing"})");
    EXPECT_EQ(enabled.body, R"({"connected":true,"name":"every-thing"})");
    EXPECT_FALSE(s.settings_servers()["every-thing"].contains("disabled"));

    answer removed = s.post(R"({"action":"remove","name":"every-thing"})");
    EXPECT_EQ(removed.body, R"({"removed":"every-thing"})");
    EXPECT_FALSE(s.settings_servers().contains("every-thing"));
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(everything).empty(); }, 3000));
}

TEST(connector_routes, a_runtime_installed_later_is_found) {
    connector_server s;
    answer market = s.get("/agent/market");
    ASSERT_EQ(market.status, 200);
    json listed = json::parse(market.body);
    EXPECT_EQ(listed["connectors"].size(), 2u);
    EXPECT_EQ(listed["connectors"][0]["id"], "fake-python");
    EXPECT_EQ(listed["runtimes"], json({{"node", true}, {"uv", false}}));

    answer refused = s.post(R"({"action":"add","id":"fake-python"})");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(json::parse(refused.body)["error"],
              "this connector needs uv (Python), which is not installed. Install it with: sudo apt install pipx && "
              "pipx install uv, then add the connector again");
    EXPECT_FALSE(fs::exists(s.user.settings) && s.settings_servers().contains("fake-python"));

    // A uvx placed in ~/.local/bin after the server started: it runs the fake whatever it is asked to run.
    fs::path uvx = s.home / ".local" / "bin" / "uvx";
    fs::create_directories(uvx.parent_path());
    write_text(uvx, "#!/bin/sh\nexec node '" + fake_server_script() + "' plain\n");
    fs::permissions(uvx, fs::perms::owner_all);
    EXPECT_EQ(json::parse(s.get("/agent/market").body)["runtimes"], json({{"node", true}, {"uv", true}}));
    answer added = s.post(R"({"action":"add","id":"fake-python"})");
    EXPECT_EQ(added.status, 200);
    EXPECT_EQ(added.body, R"({"connected":true,"name":"fake-python"})");
    EXPECT_EQ(s.settings_servers()["fake-python"],
              json::parse(R"({"command":"uvx","args":["fake-server"],"market":"fake-python"})"));
}

TEST(connector_routes, refusals) {
    connector_server s;
    struct refusal {
        std::string body;
        int status;
        std::string reply;
    };
    std::vector<refusal> cases = {
        {R"({"action":"Add"})", 400, R"({"error":"unknown action"})"},
        {R"({})", 400, R"({"error":"unknown action"})"},
        {R"({"action":"remove","name":"nobody"})", 400, R"({"error":"no connector named nobody"})"},
        {R"({"action":"add","url":"http://localhost.example.com/mcp"})", 400,
         R"({"error":"the server address must start with https://"})"},
        {R"({"action":"add","id":"filesystem"})", 400,
         R"({"error":"no connector \"filesystem\" in the list; use find_connectors to see what there is"})"},
        {R"({"action":"remove"})", 400, R"({"error":"[json.exception.out_of_range.403] key 'name' not found"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        answer got = s.post(c.body);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.body, c.reply);
    }
    answer empty = s.post("");
    EXPECT_EQ(empty.status, 400);
    EXPECT_NE(json::parse(empty.body)["error"].get<std::string>().find("parse error"), std::string::npos);
    EXPECT_EQ(s.post(R"({"action":"Add"})", false).status, 403);
    EXPECT_EQ(s.get("/agent/market", false).status, 403);
}

// The first state request starts the configured connectors; a later one shows them running and offers the
// connector tools.
TEST(connector_routes, the_state_starts_the_connectors_and_offers_their_tools) {
    connector_server s;
    const std::string everything = own_npm_server("mcp-server-everything");
    ASSERT_EQ(s.post(json({{"action", "add"}, {"name", "every"}, {"command", everything}}).dump()).status, 200);
    const auto state = [&] {
        const answer a = s.get("/agent/state");
        EXPECT_EQ(a.status, 200) << a.body;
        return json::parse(a.body);
    };
    json first = state();
    EXPECT_EQ(first["tools"].size(), 15u);
    json later;
    ASSERT_TRUE(wait_for(
        [&] {
            later = state();
            return later["connectors"][0]["ok"] == true && later["tools"].size() == 17u;
        },
        60000))
        << later.dump();
    EXPECT_EQ(later["tools"][15]["function"]["name"], "connector_tools");
    EXPECT_EQ(later["tools"][16]["function"]["name"], "use_connector");
    const json& entry = later["connectors"][0];
    EXPECT_EQ(entry["starting"], false);
    EXPECT_EQ(entry["error"], "");
    EXPECT_GT(entry["tools"].get<int>(), 0);
    EXPECT_EQ(entry["tool_names"].size(), entry["tools"].get<size_t>());

    // The connector tools through POST /agent/tool, approved.
    const auto tool = [&](const std::string& name, const json& arguments) { return s.tool(name, arguments); };
    json reply = tool("use_connector", {{"connector", "every"}, {"tool", "echo"}, {"arguments", {{"message", "hi"}}}});
    EXPECT_EQ(reply["status"], "ok") << reply;
    EXPECT_EQ(reply["result"], json({{"result", "Echo: hi\n"}})) << reply;
    // "arguments" as JSON text, the same call.
    reply = tool("use_connector", {{"connector", "every"}, {"tool", "echo"}, {"arguments", R"({"message":"hi"})"}});
    EXPECT_EQ(reply["result"], json({{"result", "Echo: hi\n"}})) << reply;
    reply = tool("use_connector", {{"connector", "every"}, {"tool", "get-tiny-image"}});
    EXPECT_NE(reply["result"]["result"].get<std::string>().find("[image content]\n"), std::string::npos) << reply;
    reply = tool("use_connector", {{"connector", "every"}, {"tool", "get-sum"}, {"arguments", {{"a", "one"}}}});
    EXPECT_EQ(reply["result"]["is_error"], true) << reply;
    EXPECT_TRUE(reply["result"]["arguments_it_takes"].contains("properties")) << reply;
    reply = tool("use_connector", {{"connector", "every"}, {"tool", "nope"}});
    EXPECT_EQ(reply["result"], "error: every has no tool named nope; see connector_tools");
    reply = tool("use_connector", {{"connector", "other"}, {"tool", "echo"}});
    EXPECT_EQ(reply["result"], "error: no running connector named other");
    reply = tool("connector_tools", {{"connector", "every"}, {"tool", "echo"}});
    ASSERT_EQ(reply["result"]["tools"].size(), 1u) << reply;
    EXPECT_EQ(reply["result"]["tools"][0]["tool"], "echo");
    EXPECT_TRUE(reply["result"]["tools"][0]["inputSchema"].contains("properties"));
    reply = tool("connector_tools", {{"connector", "x"}});
    EXPECT_EQ(reply["result"], "error: no running connector named x; running: every");
    reply = tool("mcp__every__echo", {{"message", "key"}});
    EXPECT_EQ(reply["result"], json({{"result", "Echo: key\n"}})) << reply;
    reply = tool("mcp__nothing", json::object());
    EXPECT_EQ(reply["result"], "error: unknown connector tool mcp__nothing");
    // find_connectors over the test catalog: a query in capitals, and one that matches nothing.
    reply = tool("find_connectors", {{"query", "FAKE-NODE"}});
    ASSERT_EQ(reply["result"]["connectors"].size(), 1u) << reply;
    EXPECT_EQ(reply["result"]["connectors"][0]["id"], "fake-node");
    EXPECT_EQ(reply["result"]["note"], "");
    reply = tool("find_connectors", {{"query", "zzzz"}});
    EXPECT_TRUE(reply["result"]["note"].get<std::string>().starts_with("nothing matched;")) << reply;

    reply = tool("remove_connector", {{"name", "every"}});
    EXPECT_EQ(reply["result"], json({{"removed", "every"}})) << reply;
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(everything).empty(); }, 5000));
}

// Removing a connector while a call on it waits: the call keeps the connector (its process runs on until the call has
// returned) and ends with its reply; only then is the connector ended.
TEST(connector_routes, removing_a_connector_during_a_slow_call) {
    connector_server s;
    const std::string marker = unique_sleep_marker();  // an argument the fake ignores, to find its process by
    const json config = fake_config("plain", marker);
    ASSERT_EQ(s.post(json({{"action", "add"}, {"name", "slow"}, {"command", "node"}, {"args", config["args"]}}).dump())
                  .status,
              200);
    const json started = s.state_when_started();
    ASSERT_EQ(started["connectors"][0]["ok"], true) << started.dump();
    ASSERT_EQ(started["tools"].size(), 17u);

    const std::string release = (s.user.dir / "release").string();
    auto call = std::async(std::launch::async, [&] {
        return s.tool("use_connector", {{"connector", "slow"}, {"tool", "late"}, {"arguments", {{"until", release}}}});
    });
    const fake_release reply_released{release};
    ASSERT_TRUE(reply_released.wait_for_arrival());

    EXPECT_EQ(s.post(R"({"action":"remove","name":"slow"})").body, R"({"removed":"slow"})");
    EXPECT_FALSE(s.settings_servers().contains("slow"));
    EXPECT_EQ(json::parse(s.get("/agent/state").body)["tools"].size(), 15u);
    EXPECT_EQ(s.tool("use_connector", {{"connector", "slow"}, {"tool", "late"}})["result"],
              "error: no running connector named slow");
    // The waiting call still owns the connector: its process has not been ended under it.
    EXPECT_FALSE(pids_with_argument(marker).empty());
    EXPECT_EQ(call.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

    reply_released.release();
    const json reply = call.get();
    EXPECT_EQ(reply["status"], "ok") << reply;
    EXPECT_EQ(reply["result"], json({{"result", "\"late\"\n"}})) << reply;
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 5000));
    EXPECT_EQ(s.get("/health", false).status, 200);
}
