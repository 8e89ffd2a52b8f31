// A user of the agent backend for one `mivra serve`: home, XDG folders, settings file and UI folder in a temporary
// folder of its own, so the server reads and writes nothing of the machine's user.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fixtures/temp_folder.h"
#include "serve_process.h"

// What a test request got back.
struct answer {
    int status = 0;
    std::string body;
    httplib::Headers headers;
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

// One user of the agent backend: a home, data and config folders, a settings file and a UI folder of its own.
struct agent_user {
    temp_folder dir;
    std::filesystem::path settings = dir / "conf" / "settings.json";
    std::filesystem::path ui = dir / "ui";
    std::filesystem::path workspace = dir / "projects";

    agent_user() {
        std::filesystem::create_directories(ui);
        std::filesystem::create_directories(workspace);
        std::filesystem::create_directories(settings.parent_path());
    }
    serve_options options(const std::vector<std::string>& extra_args = {}) const {
        serve_options o;
        o.program = "mivra";
        o.extra_args = extra_args;
        o.env = {{"HOME", (dir / "home").string()},
                 {"XDG_DATA_HOME", (dir / "data").string()},
                 {"XDG_CONFIG_HOME", (dir / "config").string()},
                 {"XDG_STATE_HOME", (dir / "state").string()},
                 {"MIVRA_SETTINGS", settings.string()},
                 {"MIVRA_UI_DIR", ui.string()}};
        return o;
    }
    void seed_settings(const nlohmann::json& value) const { write_text(settings, value.dump()); }
};


// The token that a page of the server carries in its "mivra-token" field ("" when it carries an empty one).
inline std::string page_token(const std::string& page) {
    const std::string mark = "name=\"mivra-token\" content=\"";
    const size_t at = page.find(mark);
    if (at == std::string::npos) return "<no token field>";
    return page.substr(at + mark.size(), page.find('"', at + mark.size()) - at - mark.size());
}
