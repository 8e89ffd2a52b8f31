#include "common/agent_settings.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/secret_strings.h"
#include "platform/folders.h"
#include "platform/private_files.h"
#include "platform/secret_store.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool is_protected(const std::string& value) { return value.compare(0, secret_prefix.size(), secret_prefix) == 0; }

// The settings file's content when it is a JSON object; null when it cannot be read or parsed or is no object.
json read_settings_object(const fs::path& file) {
    try {
        json value = json::parse(read_file_text(file), nullptr, true, false);
        return value.is_object() ? value : json();
    } catch (const std::exception&) {
        return json();
    }
}

std::string utc_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &parts);
    return text;
}

// Renames an unusable settings file to <file>.bad-<UTC time> (with "-N" added when that name is taken), so that
// the next save cannot overwrite what the user wrote into it.
void keep_unusable_file(const fs::path& file) {
    const std::string base = file.string() + ".bad-" + utc_stamp();
    std::error_code error;
    for (int n = 0; n < 100; ++n) {
        const fs::path aside = n == 0 ? fs::path(base) : fs::path(base + "-" + std::to_string(n));
        if (rename_without_replacing(file, aside, error)) {
            std::fprintf(stderr, "%s is not a usable settings file: kept it as %s and started with the default settings\n",
                         file.c_str(), aside.c_str());
            return;
        }
        if (error != std::errc::file_exists) break;
    }
    std::fprintf(stderr, "%s is not a usable settings file and cannot be renamed (%s): using the default settings\n",
                 file.c_str(), error.message().c_str());
}

// The transform of load_settings for one secret: a stored form is decrypted (or kept aside when it cannot be); a
// plain value stays as it is and asks for a save, which stores it encrypted.
void unprotect_setting_value(const std::string& place, json& value, bool& needs_save) {
    const std::string stored = value.get<std::string>();
    if (!is_protected(stored)) {
        if (!stored.empty()) needs_save = true;
        return;
    }
    const std::optional<std::string> plain = try_unprotect_secret(stored);
    if (plain) {
        value = *plain;
    } else {
        agent_state.kept_secrets[place] = stored;
        value = "";
    }
}

}  // namespace

json default_settings() {
    return {
        {"workspace", (documents_folder_path() / "Mivra Projects").string()},
        {"full_permission", false},
        {"permissions",
         {{"read", "allow"}, {"write", "ask"}, {"command", "ask"}, {"web", "allow"}, {"mcp", "ask"}, {"setup", "ask"}}},
        {"brave_api_key", ""},
        {"skills_dir", (app_data_folder() / "skills").string()},
        {"mcpServers", json::object()},
        {"thinking", false},
        {"mode", "exact"},
        {"max_steps", 25},
        {"provider", {{"kind", "mivra"}, {"base_url", ""}, {"model", ""}, {"context", 128000}}},
        {"provider_keys", json::object()},
    };
}

void for_each_secret_place(json& settings, const std::function<void(const std::string&, json&)>& visit) {
    if (!settings.is_object()) return;
    const auto brave = settings.find("brave_api_key");
    if (brave != settings.end() && brave->is_string()) visit("/brave_api_key", *brave);

    const auto keys = settings.find("provider_keys");
    if (keys != settings.end() && keys->is_object()) {
        for (auto it = keys->begin(); it != keys->end(); ++it) {
            if (it->is_string()) visit((json::json_pointer("/provider_keys") / it.key()).to_string(), *it);
        }
    }

    const auto servers = settings.find("mcpServers");
    if (servers == settings.end() || !servers->is_object()) return;
    for (auto entry = servers->begin(); entry != servers->end(); ++entry) {
        if (!entry->is_object()) continue;
        const auto env = entry->find("env");
        if (env == entry->end() || !env->is_object()) continue;
        const json::json_pointer base = json::json_pointer("/mcpServers") / entry.key() / "env";
        for (auto it = env->begin(); it != env->end(); ++it) {
            if (it->is_string()) visit((base / it.key()).to_string(), *it);
        }
    }
}

void for_each_secret_setting(json& settings, const std::function<std::string(const std::string&)>& transform) {
    for_each_secret_place(settings, [&](const std::string&, json& value) { value = transform(value.get<std::string>()); });
}

void load_settings() {
    agent_backend_state& state = agent_state;
    state.settings = default_settings();
    state.kept_secrets.clear();
    bool needs_save = false;
    try {
        std::error_code error;
        const fs::file_status status = fs::status(state.settings_path, error);
        if (status.type() != fs::file_type::not_found && !error) {
            json file = read_settings_object(state.settings_path);
            if (file.is_null()) {
                if (fs::is_regular_file(status)) keep_unusable_file(state.settings_path);
            } else {
                for (auto it = file.begin(); it != file.end(); ++it) state.settings[it.key()] = std::move(*it);
                for_each_secret_place(state.settings, [&](const std::string& place, json& value) {
                    unprotect_setting_value(place, value, needs_save);
                });
            }
        }
    } catch (const std::exception&) {
        // The settings keep what they had reached: the defaults, or the file's members so far.
    }
    if (needs_save) {
        try {
            save_settings();
        } catch (const std::exception&) {
            // The secret stays in plain text until a later save succeeds.
        }
    }
    const fs::path workspace = state.settings.at("workspace").get<std::string>();
    std::error_code ignored;
    fs::create_directories(workspace, ignored);
}

void save_settings() {
    agent_backend_state& state = agent_state;
    const fs::path& file = state.settings_path;
    std::error_code error;
    const fs::path folder = file.parent_path();
    if (!folder.empty() && !create_private_folders(folder, error)) {
        throw fs::filesystem_error("create_directories", folder, error);
    }

    json copy = state.settings;
    std::vector<std::string> replaced;
    for_each_secret_place(copy, [&](const std::string& place, json& value) {
        const std::string plain = value.get<std::string>();
        const auto kept = state.kept_secrets.find(place);
        if (plain.empty()) {
            if (kept != state.kept_secrets.end()) value = kept->second;
            return;
        }
        if (kept != state.kept_secrets.end()) replaced.push_back(place);
        const std::optional<std::string> sealed = try_protect_secret(plain);
        if (!sealed) {
            throw std::runtime_error("cannot encrypt the secrets of the settings with the key in " +
                                     secret_key_path().string() + ", so the settings were not saved");
        }
        value = *sealed;
    });
    const std::string text = copy.dump(2, ' ', false, json::error_handler_t::strict);

    const fs::path temp = file.string() + ".tmp";
    if (!write_private_file(temp, text, error)) {
        std::error_code ignored;
        if (fs::is_regular_file(fs::symlink_status(temp, ignored))) fs::remove(temp, ignored);
        throw std::runtime_error("cannot write " + temp.string() + ": " + error.message());
    }
    try {
        fs::rename(temp, file);
    } catch (const fs::filesystem_error&) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw;
    }
    for (const std::string& place : replaced) state.kept_secrets.erase(place);
}

fs::path app_data_folder() { return app_data_folder_path(); }

fs::path backups_folder() { return app_data_folder() / "backups"; }

fs::path project_folder() {
    if (!project_override.empty()) return fs::path(project_override);
    const json& settings = agent_state.settings;
    if (!settings.is_object()) return {};
    const auto workspace = settings.find("workspace");
    if (workspace == settings.end()) return {};
    return fs::path(workspace->get<std::string>());
}
