// Shared set-up of the tests that run `mivra start` as a child: a fresh folder per test with the child's home,
// models folder and catalog, and the child's whole environment built from them (nothing of the test's own
// environment but PATH, so no user file, catalog address or token of the machine is read).
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "start_child.h"
#include "fixtures/temp_folder.h"

namespace start_test {

namespace fs = std::filesystem;
using nlohmann::json;

inline const std::string mivra_program = std::string(MIVRA_BIN_DIR) + "/mivra";
inline const std::string pack_manifest = R"({"format": "mivra-pack-1"})";

inline fs::path make_folder(const fs::path& folder, const std::map<std::string, std::string>& files) {
    fs::create_directories(folder);
    for (const auto& [name, text] : files) write_text(folder / name, text);
    return folder;
}

inline json catalog_model(const std::string& id, const std::string& name, const json& more = json::object()) {
    json m = {{"id", id}, {"name", name}, {"repo", "o/" + id + "-mivra"}};
    m.update(more);
    return m;
}

inline bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The events of launcher lines; a line that is no JSON object fails the test.
inline std::vector<json> events_of(const std::vector<std::string>& lines) {
    std::vector<json> events;
    for (const std::string& line : lines) {
        EXPECT_TRUE(!line.empty() && line[0] == '{') << "not an event line: " << line;
        events.push_back(json::parse(line, nullptr, false));
    }
    return events;
}

inline std::vector<std::string> types_of(const std::vector<json>& events) {
    std::vector<std::string> types;
    for (const json& e : events) types.push_back(e.value("type", "?"));
    return types;
}

class StartTest : public testing::Test {
protected:
    StartTest() { fs::create_directories(home()); }

    fs::path home() const { return tmp / "home"; }
    fs::path models() const { return tmp / "models"; }
    std::string err_file(const std::string& tag) const { return (tmp / (tag + ".err")).string(); }

    void write_catalog(const std::vector<json>& models_list, const json& extra = json::object()) {
        json doc = {{"format", "mivra-catalog-1"}, {"models", json(models_list)}};
        doc.update(extra);
        write_text(tmp / "catalog.json", doc.dump());
    }

    // The child's environment; MIVRA_NO_PATH keeps ~/.profile alone unless a test wants the PATH note. An entry
    // of `extra` replaces the default of the same name.
    std::vector<std::string> env(const std::vector<std::string>& extra = {}, bool no_path = true) const {
        std::vector<std::string> defaults = {"HOME=" + home().string(),
                                             "PATH=/usr/bin:/bin",
                                             "MIVRA_MODELS_DIR=" + models().string(),
                                             "MIVRA_CATALOG=" + (tmp / "catalog.json").string(),
                                             "MIVRA_NO_BROWSER=1",
                                             "XDG_CONFIG_HOME=" + (home() / ".config").string(),
                                             "XDG_DATA_HOME=" + (home() / ".local/share").string(),
                                             "XDG_STATE_HOME=" + (home() / ".local/state").string(),
                                             "HF_ENDPOINT=https://127.0.0.1:9"};
        if (no_path) defaults.push_back("MIVRA_NO_PATH=1");
        std::vector<std::string> e = extra;
        for (const std::string& d : defaults) {
            const std::string name = d.substr(0, d.find('=') + 1);
            bool replaced = false;
            for (const std::string& x : extra) replaced = replaced || x.compare(0, name.size(), name) == 0;
            if (!replaced) e.push_back(d);
        }
        return e;
    }

    temp_folder tmp;
};

// True once nothing listens on 127.0.0.1:port (a bind succeeds), waiting at most `timeout`.
inline bool port_free(int port, std::chrono::seconds timeout) {
    const auto deadline = clock_type::now() + timeout;
    for (;;) {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(s);
        if (ok) return true;
        if (clock_type::now() >= deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
}

}  // namespace start_test
