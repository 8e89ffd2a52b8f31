// The agent backend's settings document (`agent_settings`, kept in agent_state.settings), its file settings.json
// and the folders the agent backend works in.
//
// The settings are one JSON object whose members (at every level) are ordered by the bytes of their keys. Keys
// that the defaults lack stay in the document and are saved back unchanged. Secrets ("brave_api_key", every string
// of "provider_keys", every string of the "env" object of an "mcpServers" entry) are plain text in memory and
// "dpapi:" + Base64 of a sealed blob in the file (common/secret_strings.h).
//
// The file: agent_state.settings_path (settings.json in the app data folder unless MIVRA_SETTINGS names another),
// UTF-8 without byte-order mark, indented by two spaces, no newline after the closing brace, written to a ".tmp"
// file of mode 0600 and renamed over the old one.
//
// Threads and locking: see common/agent_state.h. load_settings runs at start-up before any other thread and takes
// no lock; save_settings and for_each_secret_setting take no lock: their callers hold agent_state.agent_mutex.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

// A new settings object with the defaults: "workspace" <documents folder>/Mivra Projects, "full_permission" false,
// "permissions" {"read": "allow", "write": "ask", "command": "ask", "web": "allow", "mcp": "ask", "setup": "ask"},
// "brave_api_key" "", "skills_dir" <app data folder>/skills, "mcpServers" {}, "thinking" false, "mode" "exact",
// "max_steps" 25, "provider" {"kind": "mivra", "base_url": "", "model": "", "context": 128000}, "provider_keys" {}.
// The two folders are computed from the environment at each call. Safe from any thread.
nlohmann::json default_settings();

// Fills agent_state.settings from the defaults and the file at agent_state.settings_path: each top-level member of
// the file replaces the default of that name whole (objects are not merged), other members are added; then every
// secret is decrypted. A missing file leaves the defaults without a message. A file that exists but cannot be used
// (unreadable, not JSON, not an object) is renamed to settings.json.bad-<UTC time> first, so that no later save
// destroys it, and the defaults are used (one line on stderr says so). A secret that cannot be decrypted reads as
// "" and is remembered in agent_state.kept_secrets. When the file held a secret in plain text, the settings are
// saved at once (a failure of that save is ignored). Last it creates the "workspace" folder with its parents
// (errors ignored).
// Throws nlohmann::json's type error only when "workspace" is not a string (null included).
void load_settings();

// Writes agent_state.settings to agent_state.settings_path: creates the file's folder (mode 0700 for new folders),
// encrypts every secret of a copy, writes it to settings_path + ".tmp" (mode 0600) and renames that over the file.
// A secret that is "" and has an entry in agent_state.kept_secrets is written in its kept stored form; a non-empty
// value replaces the kept one (its entry is dropped once the save succeeds). A caller that clears a secret on
// purpose erases the entry of its place from kept_secrets first.
// Throws std::filesystem::filesystem_error for "create_directories" or "rename"; std::runtime_error when a secret
// cannot be encrypted (nothing is written: a secret is never stored in plain text) or the temporary file cannot be
// written completely ("cannot write " + path + ": " + reason); the settings file is then left as it was.
// REQUIRES: agent_state.agent_mutex held (load_settings at start-up excepted).
void save_settings();

// Replaces every secret string of `settings` by transform(value), in this order: "brave_api_key", the values of
// "provider_keys" in key order, then the "env" values of each "mcpServers" entry, in entry and key order. Values of
// other types at these places are left alone. Exceptions from `transform` pass through.
void for_each_secret_setting(nlohmann::json& settings, const std::function<std::string(const std::string&)>& transform);

// The same walk, also telling the place of each secret as a JSON pointer ("/brave_api_key",
// "/provider_keys/<key>", "/mcpServers/<name>/env/<key>", with "~" and "/" escaped as JSON pointers do).
void for_each_secret_place(nlohmann::json& settings,
                           const std::function<void(const std::string& place, nlohmann::json& value)>& visit);

// The app data folder, $XDG_DATA_HOME/Mivra (default ~/.local/share/Mivra); created with mode 0700 when missing.
std::filesystem::path app_data_folder();
// app_data_folder() / "backups" (the undo backups). Not created.
std::filesystem::path backups_folder();

// The project folder: project_override when it is non-empty on this thread, else the settings' "workspace" (an
// empty path when the settings have none). Throws nlohmann::json's type error when "workspace" is not a string.
// REQUIRES: agent_state.agent_mutex held, unless this thread's project_override is set.
std::filesystem::path project_folder();
