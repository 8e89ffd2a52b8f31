// The registry and the tool index: the start-all pass over real fakes, the keys, the queries, and the lifetime of a
// connector whose call is in flight while the registry drops it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "common/agent_settings.h"
#include "common/process_state.h"
#include "connector_state_test.h"
#include "connector_test_support.h"
#include "connectors/connector_management.h"
#include "connectors/connector_registry.h"

using nlohmann::json;

namespace {

struct registry_test : connector_state_test {
    void set_servers(const json& servers) {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        agent_state.settings["mcpServers"] = servers;
    }
    // Launches a pass as the tool table does and waits for its end.
    void run_pass(const std::function<void()>& meanwhile = {}) {
        {
            std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
            agent_state.connectors_started = false;
            start_all_connectors();
            EXPECT_TRUE(agent_state.connectors_starting);
            start_all_connectors();  // a second launch while the pass runs does nothing
        }
        if (meanwhile) meanwhile();
        ASSERT_TRUE(wait_for(
            [] {
                std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
                return !agent_state.connectors_starting;
            },
            60000));
    }
    std::vector<std::string> registered() {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        std::vector<std::string> names;
        for (const auto& [name, conn] : agent_connectors().connectors) names.push_back(name);
        return names;
    }
};

std::vector<std::string> index_keys() {
    std::vector<std::string> keys;
    for (const auto& [key, ref] : agent_connectors().index) keys.push_back(key + "=" + ref.server + "/" + ref.tool);
    return keys;
}

connector_ptr with_tools(const std::string& name, const json& tools) {
    connector_ptr conn = new_connector(name, "");
    conn->tools = tools;
    return conn;
}

}  // namespace

TEST_F(registry_test, tool_keys) {
    EXPECT_EQ(connector_tool_key("my.server", "read file"), "mcp__my_server__read_file");
    EXPECT_EQ(connector_tool_key("a-b_c", "x/y\xC3\xA9"), "mcp__a-b_c__x_y__");
    std::string long_tool(80, 't');
    EXPECT_EQ(connector_tool_key("s", long_tool), "mcp__s__" + std::string(64 - 8, 't'));

    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    auto& registry = agent_connectors().connectors;
    // Two tools whose cut keys are equal: the later one stays. Tools without a string name are skipped.
    registry["s"] = with_tools("s", json::array({{{"name", long_tool + "1"}}, {{"name", long_tool + "2"}},
                                                 {{"name", 7}}, json("bare"), {{"title", "no name"}}}));
    index_connector_tools("s");
    EXPECT_EQ(index_keys(), std::vector<std::string>{"mcp__s__" + std::string(56, 't') + "=s/" + long_tool + "2"});

    // a.b and a_b make the same keys: re-indexing either takes over what they share.
    registry["a.b"] = with_tools("a.b", json::parse(R"([{"name":"x"},{"name":"only-dot"}])"));
    registry["a_b"] = with_tools("a_b", json::parse(R"([{"name":"x"}])"));
    index_connector_tools("a.b");
    index_connector_tools("a_b");
    auto& index = agent_connectors().index;
    EXPECT_EQ(index["mcp__a_b__x"].server, "a_b");
    EXPECT_EQ(index["mcp__a_b__only-dot"].server, "a.b");
    index_connector_tools("a.b");
    EXPECT_EQ(index["mcp__a_b__x"].server, "a.b");

    // A failed connector has no keys and shows its error; a tools list that is not an array gives no names.
    registry["bad"] = with_tools("bad", json::parse(R"([{"name":"x"}])"));
    registry["bad"]->error = "it failed";
    index_connector_tools("bad");
    EXPECT_EQ(index.count("mcp__bad__x"), 0u);
    EXPECT_EQ(connector_status("bad"), json::parse(R"({"name":"bad","connected":false,"error":"it failed","tools":["x"]})"));
    EXPECT_EQ(connector_tool_names(registry["bad"].get(), false), json::array());
    EXPECT_EQ(connector_tool_names(registry["a_b"].get(), true), json::array());
    EXPECT_EQ(connector_tool_names(registry["a.b"].get(), false), json::parse(R"(["x","only-dot"])"));
    registry["odd"] = with_tools("odd", json::object({{"name", "x"}}));
    EXPECT_EQ(connector_status("odd")["tools"], json::array());
    EXPECT_EQ(connector_status("nothing"), json::parse(R"({"name":"nothing","connected":false,"error":"not running"})"));
}

TEST_F(registry_test, a_pass_registers_what_started_and_indexes_the_healthy) {
    json flagged = fake_config("plain");
    flagged["disabled"] = "yes";  // only true disables
    json off = fake_config("plain");
    off["disabled"] = true;
    set_servers({{"healthy", fake_config("plain")}, {"failing", {{"command", "false"}}}, {"off", off},
                 {"not-an-object", 5}, {"flagged", flagged}});
    run_pass();
    EXPECT_EQ(registered(), (std::vector<std::string>{"failing", "flagged", "healthy"}));

    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    std::vector<std::string> keys;
    for (const auto& [key, ref] : agent_connectors().index) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{
                        "mcp__flagged__answers", "mcp__flagged__echo", "mcp__flagged__env", "mcp__flagged__late",
                        "mcp__flagged__schema-less", "mcp__flagged__wrong_ids", "mcp__healthy__answers",
                        "mcp__healthy__echo", "mcp__healthy__env", "mcp__healthy__late", "mcp__healthy__schema-less",
                        "mcp__healthy__wrong_ids"}));
    json failing = connector_status("failing");
    EXPECT_EQ(failing, json({{"name", "failing"}, {"connected", false},
                             {"error", "stopped while starting (check the command and its arguments)"},
                             {"tools", json::array()}}));
    EXPECT_EQ(connector_status("healthy")["connected"], true);
    EXPECT_EQ(connector_status("off")["error"], "not running");
    EXPECT_FALSE(agent_state.connectors_starting);
    EXPECT_TRUE(agent_state.connectors_started);
}

TEST_F(registry_test, schemas_of_registered_tools) {
    set_servers({{"healthy", fake_config("plain")}});
    run_pass();
    EXPECT_EQ(connector_tool_schema({"healthy", "echo"}), json::parse(R"({"type":"object","properties":{"value":{}}})"));
    EXPECT_EQ(connector_tool_schema({"healthy", "schema-less"}), json::object());
    EXPECT_EQ(connector_tool_schema({"healthy", "nothing"}), json::object());
    EXPECT_EQ(connector_tool_schema({"nobody", "echo"}), json::object());
}

TEST_F(registry_test, entries_removed_or_disabled_during_a_pass_are_gone_after_it) {
    std::string marker = unique_sleep_marker();
    // "slow" holds the pass until the settings have been changed.
    const std::string go_on = (folder / "go-on").string();
    set_servers({{"removed", fake_config("grandchild", marker)}, {"slow", fake_config("slowstart", go_on)},
                 {"kept", fake_config("plain")}});
    run_pass([&] {
        const fake_release pass_released{go_on};
        ASSERT_TRUE(wait_for([&] { return !pids_with_argument(marker).empty(); }, 30000));
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        agent_state.settings["mcpServers"].erase("removed");
        agent_state.settings["mcpServers"]["slow"]["disabled"] = true;
    });
    EXPECT_EQ(registered(), std::vector<std::string>{"kept"});
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 3000));
}

TEST_F(registry_test, a_call_in_flight_outlives_its_replacement) {
    set_servers({{"a", fake_config("plain")}});
    run_pass();
    connector_ptr first;
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        first = find_registered_connector("a");
    }
    ASSERT_TRUE(first);
    // The fake holds its reply until the release file exists, so the pass surely replaces the connector while the
    // call waits, however slow the machine.
    const std::string release = (folder / "release").string();
    auto call = std::async(std::launch::async, [conn = first, release] {
        return call_text(*conn, "late", {{"until", release}});
    });
    const fake_release reply_released{release};
    const connector* replaced = first.get();
    first.reset();  // from now on the call is the only owner besides the registry
    ASSERT_TRUE(reply_released.wait_for_arrival());
    run_pass();
    {
        std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
        EXPECT_NE(find_registered_connector("a").get(), replaced);
    }
    EXPECT_EQ(call.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    reply_released.release();
    EXPECT_EQ(call.get(), "late");
    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    EXPECT_TRUE(find_registered_connector("a"));
}

TEST_F(registry_test, a_connector_saved_during_a_pass_is_kept) {
    // The pass's "b" answers its handshake only after the save.
    const std::string go_on = (folder / "go-on").string();
    set_servers({{"b", fake_config("slowstart", go_on)}});
    json saved_config = fake_config("plain");
    run_pass([&] {
        const fake_release pass_released{go_on};
        json reply = save_connector("b", saved_config);
        EXPECT_EQ(reply["connected"], true);
    });
    std::lock_guard<std::mutex> hold(agent_state.agent_mutex);
    connector_ptr b = find_registered_connector("b");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->config, saved_config);
    EXPECT_EQ(agent_state.settings["mcpServers"]["b"], saved_config);
    EXPECT_EQ(agent_connectors().index.count("mcp__b__echo"), 1u);
}
