// Connectors as real children: a Node fake whose framing and faults each case chooses, and the pinned MCP servers
// from npm (tests/connectors/package.json, installed into the build folder).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "connector_test_support.h"
#include "connectors/connector.h"
#include "connectors/connector_catalog.h"

using nlohmann::json;
namespace fs = std::filesystem;

TEST(connector_process, the_handshake_and_every_framing_the_fake_can_write) {
    for (std::string mode : {"plain", "batched", "split", "crlf", "asks"}) {
        SCOPED_TRACE(mode);
        connector_ptr conn = new_connector("fake", connector_log_path("fake"));
        ASSERT_TRUE(start_connector(*conn, fake_config(mode))) << conn->error;
        EXPECT_EQ(conn->error, "");
        ASSERT_EQ(conn->tools.size(), 8u);
        EXPECT_EQ(conn->tools[0]["name"], "echo");

        json received = json::array();  // the lines the fake got, without the answers to its own request
        for (const auto& line : call_text(*conn, "received", json::object())) {
            if (line.get<std::string>().find("\"method\"") != std::string::npos) received.push_back(line);
        }
        ASSERT_GE(received.size(), 3u);
        EXPECT_EQ(received[0], R"({"id":1,"jsonrpc":"2.0","method":"initialize","params":{"capabilities":{},)"
                               R"("clientInfo":{"name":"mivra","version":"0.1"},"protocolVersion":"2025-06-18"}})");
        EXPECT_EQ(received[1], R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
        EXPECT_EQ(received[2], R"({"id":2,"jsonrpc":"2.0","method":"tools/list","params":{}})");

        json args = {{"value", {{"text", "héllo \"quoted\"\n"}, {"n", 3}}}};
        EXPECT_EQ(call_text(*conn, "echo", args), args);
        if (mode == "asks") {
            EXPECT_EQ(call_text(*conn, "answers", json::object()),
                      json::parse(R"([{"error":{"code":-32601,"message":"not supported"},"id":"srv-1","jsonrpc":"2.0"}])"));
        }
        try {
            connector_request(*conn, "tools/call", {{"name", "nothing"}, {"arguments", json::object()}}, 10);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "fake: unknown tool nothing");
        }
    }
}

TEST(connector_process, failed_starts_say_why) {
    // A log left from an earlier run is not shown for a start that fails before its log is opened.
    fs::create_directories(connector_log_path("old").parent_path());
    std::ofstream(connector_log_path("old")) << "an earlier run's log\n";

    std::string long_log_tail = std::string(600 - 25, 'x') + "\nthe last line of the log";
    struct failing_case {
        std::string name;
        json config;
        std::string error;
        connector_start_limits limits{60, 60};  // ample: only the silent fake waits for its time-out
    };
    std::vector<failing_case> cases = {
        {"exits", fake_config("exit", "2000"), "stopped while starting: ..." + long_log_tail},
        {"short", fake_config("exit", "10"),
         "stopped while starting: xxxxxxxxxx\nthe last line of the log"},
        {"missing", {{"command", "no-such-command-mivra"}, {"args", {"a b"}}},
         "stopped while starting: sh: 1: no-such-command-mivra: not found"},
        {"quiet", {{"command", "false"}}, "stopped while starting (check the command and its arguments)"},
        {"silent", fake_config("silent"), "initialize: no answer from connector silent in 1 s", {1, 1}},
        {"old", {{"args", json::array()}},
         "[json.exception.out_of_range.403] key 'command' not found"},
        {"bad-env", {{"command", "true"}, {"env", {{"A", 1}}}},
         "[json.exception.type_error.302] type must be string, but is number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        connector_ptr conn = new_connector(c.name, connector_log_path(c.name));
        EXPECT_FALSE(start_connector(*conn, c.config, c.limits));
        EXPECT_EQ(conn->error, c.error);
    }
}

TEST(connector_process, replies_that_are_not_the_requests_own_are_never_taken) {
    connector_ptr conn = new_connector("fake", connector_log_path("fake"));
    ASSERT_TRUE(start_connector(*conn, fake_config("plain"))) << conn->error;

    // A string id, a fraction and ids that only equal the request's id after a cut to 32 bits.
    try {
        connector_request(*conn, "tools/call", {{"name", "wrong_ids"}, {"arguments", json::object()}}, 1);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "tools/call: no answer from connector fake in 1 s");
    }
    // A reply that comes after its requester gave up is dropped, not kept for ever.
    EXPECT_THROW(connector_request(*conn, "tools/call", {{"name", "late"}, {"arguments", {{"ms", 1500}}}}, 1),
                 std::runtime_error);
    // A reply of more than 64 MiB is dropped whole.
    EXPECT_THROW(connector_request(*conn, "tools/call",
                                   {{"name", "huge"}, {"arguments", {{"bytes", (64 << 20) + 10}}}}, 3),
                 std::runtime_error);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(call_text(*conn, "echo", {{"after", true}}), json({{"after", true}}));
    {
        std::lock_guard<std::mutex> hold(conn->lock);
        EXPECT_TRUE(conn->pending_replies.empty());
        EXPECT_TRUE(conn->waiting.empty());
    }
    // A time-out of 0 fails at once unless the reply is already there.
    EXPECT_THROW(connector_request(*conn, "tools/call", {{"name", "late"}, {"arguments", {{"ms", 500}}}}, 0),
                 std::runtime_error);
}

TEST(connector_process, the_child_sees_the_configured_environment_and_search_path) {
    ::setenv("MIVRA_CONNECTOR_TEST_VALUE", "from mivra", 1);
    json config = fake_config("plain");
    config["env"] = {{"MIVRA_CONNECTOR_TEST_VALUE", "configured"}, {"SECOND", "2"}};
    connector_ptr conn = new_connector("fake", connector_log_path("fake"));
    ASSERT_TRUE(start_connector(*conn, config)) << conn->error;
    EXPECT_EQ(call_text(*conn, "env", {{"name", "MIVRA_CONNECTOR_TEST_VALUE"}}), "configured");
    EXPECT_EQ(call_text(*conn, "env", {{"name", "SECOND"}}), "2");
    EXPECT_EQ(call_text(*conn, "env", {{"name", "PATH"}}), connector_search_path());
    std::string path = connector_search_path();
    EXPECT_NE(path.find(std::string(std::getenv("HOME")) + "/.local/bin"), std::string::npos);
    EXPECT_NE(path.find("/usr/bin"), std::string::npos);
    EXPECT_EQ(path.rfind(std::getenv("PATH"), 0), 0u);

    fs::path log = connector_log_path("fake");
    EXPECT_EQ(fs::status(log).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(log_safe_name("my server/é"), "my_server___");
}

TEST(connector_process, destroying_a_connector_ends_what_it_started) {
    std::string marker = unique_sleep_marker();
    connector_ptr conn = new_connector("fake", connector_log_path("fake"));
    ASSERT_TRUE(start_connector(*conn, fake_config("grandchild", marker))) << conn->error;
    // Generous limits: under a full parallel test run, starting Node and its sleep can take seconds.
    ASSERT_TRUE(wait_for([&] { return !pids_with_argument(marker).empty(); }, 20000));
    pid_t leader = conn->child.pid();
    conn.reset();
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 10000));
    EXPECT_NE(::kill(leader, 0), 0);
}

TEST(connector_process, a_request_to_a_connector_whose_child_died_says_it_stopped) {
    connector_ptr conn = new_connector("fake", connector_log_path("fake"));
    ASSERT_TRUE(start_connector(*conn, fake_config("plain"))) << conn->error;
    conn->child.kill_group(SIGKILL);
    ASSERT_TRUE(wait_for(
        [&] {
            std::lock_guard<std::mutex> hold(conn->lock);
            return conn->stopped;
        },
        10000));
    // Nothing reads the child's input any more: the write fails (EPIPE).
    try {
        connector_request(*conn, "tools/call", {{"name", "echo"}, {"arguments", json::object()}}, 10);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "connector stopped");
    }
}

TEST(connector_process, killing_the_program_ends_its_connectors) {
    std::string marker = unique_sleep_marker();
    child_spec spec;
    spec.argv = {connector_holder_program(), fake_config("grandchild", marker).dump()};
    spec.env = current_environment();
    spec.out = child_stream::pipe();
    spec.err = child_stream::descriptor(2);
    child_process holder = spawn_child(spec);
    std::string said = read_line(holder.stdout_fd(), 20000);
    ASSERT_EQ(said, "started");
    // The marker is an argument of both the Node connector and the sleep it started; other tests run the same
    // fake server at the same time, so only the marker tells this test's processes apart.
    ASSERT_TRUE(wait_for([&] { return pids_with_argument(marker).size() >= 2; }, 5000));

    ::kill(holder.pid(), SIGKILL);
    holder.reap();
    EXPECT_TRUE(wait_for([&] { return pids_with_argument(marker).empty(); }, 5000));
}

TEST(connector_process, the_reference_server_answers_eight_threads_at_once) {
    connector_ptr conn = new_connector("everything", connector_log_path("everything"));
    json config = {{"command", npm_server("mcp-server-everything")},
                   {"env", {{"MIVRA_CONNECTOR_TEST_VALUE", "configured"}}}};
    ::setenv("MIVRA_CONNECTOR_TEST_VALUE", "from mivra", 1);
    ASSERT_TRUE(start_connector(*conn, config)) << conn->error;
    std::vector<std::string> names;
    for (const auto& tool : conn->tools) names.push_back(tool["name"]);
    EXPECT_NE(std::find(names.begin(), names.end(), "echo"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "get-sum"), names.end());

    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                std::string message(200 * 1024, char('a' + t));
                message += "-" + std::to_string(t) + "-" + std::to_string(round) + "-é";
                json echoed = connector_request(*conn, "tools/call",
                                                {{"name", "echo"}, {"arguments", {{"message", message}}}}, 60);
                json sum = connector_request(*conn, "tools/call",
                                             {{"name", "get-sum"}, {"arguments", {{"a", t}, {"b", round}}}}, 60);
                bool ok = echoed["content"][0]["text"] == "Echo: " + message &&
                          sum["content"][0]["text"].get<std::string>().find(std::to_string(t + round)) !=
                              std::string::npos;
                if (ok) ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 24);

    json env = connector_request(*conn, "tools/call", {{"name", "get-env"}, {"arguments", json::object()}}, 60);
    std::string text = env["content"][0]["text"];
    EXPECT_NE(text.find("\"MIVRA_CONNECTOR_TEST_VALUE\": \"configured\""), std::string::npos) << text.substr(0, 300);
}

TEST(connector_process, the_filesystem_server_from_a_catalog_entry_lists_its_folder) {
    temp_folder folder;
    json entry = {{"id", "files"},
                  {"command", npm_server("mcp-server-filesystem")},
                  {"args", {"{FOLDER}"}},
                  {"fields", {{{"key", "FOLDER"}, {"label", "Folder it may use"}, {"kind", "folder"}}}}};
    json config = connector_from_catalog(entry, {{"FOLDER", "  " + folder.path.string() + "\r\n"}});
    connector_ptr conn = new_connector("files", connector_log_path("files"));
    ASSERT_TRUE(start_connector(*conn, config)) << conn->error;
    json listed = connector_request(*conn, "tools/call",
                                    {{"name", "list_allowed_directories"}, {"arguments", json::object()}}, 60);
    EXPECT_NE(listed.dump().find(fs::canonical(folder.path).string()), std::string::npos) << listed.dump();
}
