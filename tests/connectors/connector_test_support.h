// Helpers of the connector tests: the Node fake and the pinned npm servers as connector configurations, process
// lookups by argument, and a private app data folder (the connectors' logs) for the whole test program.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "connectors/connector.h"
#include "fixtures/temp_folder.h"
#include "node_clients.h"
#include "platform/signals.h"

// Every test program of this folder keeps its logs and settings in a folder of its own, set before main (and
// before any thread) runs, and ignores SIGPIPE as the program does: a write to a connector that has died fails
// instead of ending the test.
inline const std::filesystem::path& test_data_home() {
    static temp_folder folder;
    return folder.path;
}
[[maybe_unused]] static const bool test_environment_ready = [] {
    ::setenv("XDG_DATA_HOME", (test_data_home() / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (test_data_home() / "config").c_str(), 1);
    ignore_sigpipe();
    return true;
}();

inline std::string fake_server_script() { return std::string(MIVRA_CONNECTOR_TEST_DIR) + "/fake_mcp_server.mjs"; }

// The settings entry of the fake in `mode` (see fake_mcp_server.mjs).
inline nlohmann::json fake_config(const std::string& mode, const std::string& arg = "") {
    nlohmann::json args = {fake_server_script(), mode};
    if (!arg.empty()) args.push_back(arg);
    return {{"command", "node"}, {"args", args}};
}

// The path of a pinned npm server's program, installing the packages first when needed.
inline std::string npm_server(const std::string& program) {
    install_node_packages(MIVRA_CONNECTOR_NODE_DIR, {{"@modelcontextprotocol/server-everything", "2026.8.31"},
                                                     {"@modelcontextprotocol/server-filesystem", "2026.8.31"}});
    return std::string(MIVRA_CONNECTOR_NODE_DIR) + "/node_modules/.bin/" + program;
}

// The same program under a path of this test process's own, so that looking its processes up by argument never
// finds those of another test running the same server at the same time.
inline std::string own_npm_server(const std::string& program) {
    std::filesystem::path link = test_data_home() / "bin" / program;
    if (!std::filesystem::exists(link)) {
        std::filesystem::create_directories(link.parent_path());
        std::filesystem::create_symlink(std::filesystem::canonical(npm_server(program)), link);
    }
    return link.string();
}

// Calls one tool of the fake and parses the JSON text of its answer.
inline nlohmann::json call_text(connector& conn, const std::string& tool, const nlohmann::json& arguments) {
    nlohmann::json result = connector_request(conn, "tools/call", {{"name", tool}, {"arguments", arguments}}, 30);
    return nlohmann::json::parse(result["content"][0]["text"].get<std::string>());
}

// A file whose appearance lets a waiting fake go on: the "late" tool given {"until": path}, or the "slowstart" mode
// given the path. Made at the latest when this goes out of scope, so that a failed assertion never leaves the fake
// waiting; declare it after whatever waits for the fake (the future of a call).
struct fake_release {
    std::string path;
    // True once the "late" call has reached the fake (which then made path + ".arrived").
    bool wait_for_arrival(int milliseconds = 30000) const;
    void release() const { std::ofstream(path).close(); }
    ~fake_release() { release(); }
};

// A `sleep` duration no other process uses, to find the sleeper by its argument.
inline std::string unique_sleep_marker() {
    std::random_device random;
    return "1000." + std::to_string(random() % 1000000000);
}

// The processes (zombies excluded) with `argument` among their arguments.
inline std::vector<pid_t> pids_with_argument(const std::string& argument) {
    std::vector<pid_t> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream status(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(status)), {});
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z') continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), {});
        size_t begin = 0;
        while (begin < cmdline.size()) {
            size_t end = cmdline.find('\0', begin);
            if (end == std::string::npos) end = cmdline.size();
            if (cmdline.compare(begin, end - begin, argument) == 0) {
                pids.push_back(std::stoi(name));
                break;
            }
            begin = end + 1;
        }
    }
    return pids;
}

inline bool wait_for(const std::function<bool()>& done, int milliseconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// One line read from `fd` (without its "\n"), waiting at most `milliseconds` in all.
inline std::string read_line(int fd, int milliseconds) {
    std::string line;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c;
        if (::read(fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return line;
}

inline bool fake_release::wait_for_arrival(int milliseconds) const {
    return wait_for([&] { return std::filesystem::exists(path + ".arrived"); }, milliseconds);
}

inline std::string connector_holder_program() { return std::string(MIVRA_BIN_DIR) + "/mivra-connector-holder"; }
