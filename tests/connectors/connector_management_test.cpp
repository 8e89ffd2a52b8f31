// Adding, saving, enabling, disabling and removing connectors in-process, with real fakes as children and the
// settings file in a temporary folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/agent_settings.h"
#include "common/process_state.h"
#include "connector_state_test.h"
#include "connector_test_support.h"
#include "connectors/connector_management.h"
#include "connectors/connector_registry.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct management_test : connector_state_test {
    json servers_in_file() const { return json::parse(read_text(folder / "settings.json"))["mcpServers"]; }
    json servers_in_memory() const {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        return agent_state.settings["mcpServers"];
    }
};

std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

}  // namespace

TEST(connector_management, names) {
    EXPECT_EQ(normalise_connector_name("My Server"), "my-server");
    EXPECT_EQ(normalise_connector_name("Files (work)"), "files-work");
    EXPECT_EQ(normalise_connector_name("a_B-9\xC3\xA9"), "a_b-9");
    EXPECT_EQ(normalise_connector_name(std::string(40, 'x')), std::string(40, 'x'));
    for (const std::string& bad : std::vector<std::string>{"", "(((", "\xC3\xA9", std::string(41, 'x')}) {
        EXPECT_EQ(error_of([&] { normalise_connector_name(bad); }),
                  "give the connector a short name (letters, digits, - or _)") << bad;
    }
}

TEST(connector_management, remote_addresses) {
    for (std::string good : {"https://mcp.example.com/mcp", "http://localhost", "http://localhost:3000/mcp",
                             "http://127.0.0.1/mcp", "http://127.0.0.1?x", "http://localhost#a"}) {
        EXPECT_TRUE(connector_server_address_allowed(good)) << good;
    }
    for (std::string bad : {"http://localhost.example.com/mcp", "http://127.0.0.1.example.com", "http://example.com",
                            "HTTPS://example.com", "ftp://localhost", "http://localhost@evil.example"}) {
        EXPECT_FALSE(connector_server_address_allowed(bad)) << bad;
    }
}

TEST_F(management_test, bad_requests_change_nothing) {
    struct bad_case {
        json request;
        std::string error;
    };
    std::vector<bad_case> cases = {
        {json::object(), "give either id (from find_connectors), url (a remote server), or command (+ args, env)"},
        {{{"command", ""}, {"id", ""}}, "give either id (from find_connectors), url (a remote server), or command (+ args, env)"},
        {{{"id", "nothing-like-it"}}, "no connector \"nothing-like-it\" in the list; use find_connectors to see what there is"},
        {{{"url", "http://localhost.example.com/mcp"}}, "the server address must start with https://"},
        {{{"command", "node"}, {"args", "a b"}}, "args must be a list of strings"},
        {{{"command", "node"}, {"args", {"a", 1}}}, "args must be a list of strings"},
        {{{"command", "node"}, {"env", {"A", "1"}}}, "env must be an object of strings"},
        {{{"command", "node"}, {"env", {{"A", 1}}}}, "env values must be strings"},
        {{{"command", "node"}, {"name", "((("}}, "give the connector a short name (letters, digits, - or _)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.dump());
        EXPECT_EQ(error_of([&] { add_connector_from_request(c.request); }), c.error);
    }
    EXPECT_EQ(servers_in_memory(), json::object());
    EXPECT_FALSE(fs::exists(folder / "settings.json"));
    EXPECT_EQ(error_of([] { delete_connector("nobody"); }), "no connector named nobody");
    EXPECT_EQ(error_of([] { set_connector_enabled("nobody", true); }), "no connector named nobody");
}

TEST_F(management_test, a_test_start_leaves_nothing_running_until_connectors_are_started) {
    std::string marker = unique_sleep_marker();
    json request = {{"name", "My Tool"}, {"command", "node"},
                    {"args", {fake_server_script(), "grandchild", marker}}, {"env", {{"TOKEN", "secret"}}}};
    EXPECT_EQ(add_connector_from_request(request), json::parse(R"({"connected":true,"name":"my-tool"})"));
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 3000));
    json saved = servers_in_file()["my-tool"];
    EXPECT_EQ(saved["command"], "node");
    EXPECT_EQ(saved["env"]["TOKEN"].get<std::string>().rfind("dpapi:", 0), 0u);  // secrets are sealed on disk

    // Once connectors are started, a save keeps its connector running and answers its status.
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        agent_state.connectors_started = true;
    }
    json status = set_connector_enabled("my-tool", true);
    EXPECT_EQ(status["connected"], true);
    EXPECT_EQ(status["tools"][0], "echo");
    EXPECT_FALSE(pids_with_argument(marker).empty());

    EXPECT_EQ(set_connector_enabled("my-tool", false), json::parse(R"({"enabled":false,"name":"my-tool"})"));
    EXPECT_EQ(servers_in_file()["my-tool"]["disabled"], true);
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 3000));
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        EXPECT_FALSE(find_registered_connector("my-tool"));
        EXPECT_TRUE(agent_connectors().index.empty());
    }

    EXPECT_EQ(set_connector_enabled("my-tool", true)["connected"], true);
    EXPECT_FALSE(servers_in_file()["my-tool"].contains("disabled"));
    EXPECT_FALSE(pids_with_argument(marker).empty());

    EXPECT_EQ(delete_connector("my-tool"), json::parse(R"({"removed":"my-tool"})"));
    EXPECT_FALSE(servers_in_file().contains("my-tool"));
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 3000));
}

TEST_F(management_test, a_failed_start_is_saved_with_its_error) {
    json reply = add_connector_from_request({{"command", "false"}});
    json expected = {{"connected", false},
                     {"name", "false"},
                     {"error", "stopped while starting (check the command and its arguments)"}};
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(servers_in_file()["false"], json::parse(R"({"command":"false","args":[]})"));
}

TEST_F(management_test, a_settings_save_that_fails_ends_the_new_connector) {
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        write_text(folder / "a-file", "x");
        agent_state.settings_path = folder / "a-file" / "settings.json";
        agent_state.connectors_started = true;
    }
    std::string marker = unique_sleep_marker();
    EXPECT_NE(error_of([&] { save_connector("held", fake_config("grandchild", marker)); }), "<no error>");
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 3000));
    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    EXPECT_FALSE(find_registered_connector("held"));
}

TEST_F(management_test, secrets_kept_for_an_entry_are_forgotten_with_it) {
    add_connector_from_request({{"command", "false"}, {"name", "keyed"}, {"env", {{"K", ""}}}});
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        agent_state.kept_secrets["/mcpServers/keyed/env/K"] = "dpapi:c3RvcmVk";
        agent_state.kept_secrets["/mcpServers/keyed-other/env/K"] = "dpapi:b3RoZXI=";
    }
    delete_connector("keyed");
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        EXPECT_EQ(agent_state.kept_secrets.count("/mcpServers/keyed/env/K"), 0u);
        EXPECT_EQ(agent_state.kept_secrets.count("/mcpServers/keyed-other/env/K"), 1u);
        agent_state.kept_secrets["/mcpServers/keyed/env/K"] = "dpapi:c3RvcmVk";
    }
    // A new entry of the same name does not get the old entry's secret back either.
    add_connector_from_request({{"command", "false"}, {"name", "keyed"}, {"env", {{"K", ""}}}});
    EXPECT_EQ(servers_in_file()["keyed"]["env"]["K"], "");
}
