// The agent settings file in-process: defaults, loading (members replace defaults whole, unknown keys kept, plain
// secrets encrypted at once, unusable files kept aside, undecryptable secrets kept), the exact save format, save
// failures that leave the file as it was, private modes whatever the umask, and the project folder.
#include "common/agent_settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <thread>

#include "common/process_state.h"
#include "common/secret_strings.h"
#include "fixtures/temp_folder.h"
#include "platform/secret_store.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

void set_env(const char* name, const fs::path& value) { setenv(name, value.c_str(), 1); }

// A user of its own for one test: HOME, the XDG folders and the settings path in a temporary folder, and a fresh
// agent_state. Everything is put back afterwards.
struct settings_home {
    temp_folder dir;
    std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    settings_home() {
        set_env("HOME", dir / "home");
        set_env("XDG_DATA_HOME", dir / "data");
        use_key("key-a");
        unsetenv("XDG_DOCUMENTS_DIR");
        agent_state.settings_path = dir / "conf" / "settings.json";
        agent_state.settings = nullptr;
        agent_state.kept_secrets.clear();
    }
    ~settings_home() {
        setenv("HOME", old_home.c_str(), 1);
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_CONFIG_HOME");
        agent_state.settings = nullptr;
        agent_state.kept_secrets.clear();
    }
    // Points the secret store at another key (a "different user or computer").
    void use_key(const std::string& name) { set_env("XDG_CONFIG_HOME", dir / name); }
    fs::path file() const { return agent_state.settings_path; }
    void seed(const std::string& text) {
        fs::create_directories(file().parent_path());
        write_text(file(), text);
    }
    json saved() const { return json::parse(read_text(file())); }
    std::vector<fs::path> kept_aside() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(file().parent_path())) {
            if (entry.path().filename().string().starts_with("settings.json.bad-")) found.push_back(entry.path());
        }
        std::sort(found.begin(), found.end());
        return found;
    }
};

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

struct umask_scope {
    mode_t old;
    explicit umask_scope(mode_t mask) : old(umask(mask)) {}
    ~umask_scope() { umask(old); }
};

}  // namespace

TEST(AgentSettings, DefaultsWithoutAFileWriteNothingAndMakeTheProjectFolder) {
    settings_home home;
    const json defaults = default_settings();
    EXPECT_EQ(defaults["workspace"], (home.dir / "home" / "Documents" / "Mivra Projects").string());
    EXPECT_EQ(defaults["skills_dir"], (home.dir / "data" / "Mivra" / "skills").string());
    EXPECT_EQ(defaults["permissions"], json::parse(R"({"read":"allow","write":"ask","command":"ask","web":"allow",
                                                      "mcp":"ask","setup":"ask"})"));
    EXPECT_EQ(defaults["provider"], json::parse(R"({"kind":"mivra","base_url":"","model":"","context":128000})"));
    EXPECT_EQ(defaults["max_steps"], 25);
    EXPECT_EQ(defaults["mode"], "exact");

    load_settings();
    EXPECT_EQ(agent_state.settings, defaults);
    EXPECT_FALSE(fs::exists(home.file()));
    EXPECT_FALSE(fs::exists(home.file().parent_path()));
    EXPECT_TRUE(fs::is_directory(home.dir / "home" / "Documents" / "Mivra Projects"));
    EXPECT_EQ(project_folder(), home.dir / "home" / "Documents" / "Mivra Projects");

    set_env("XDG_DOCUMENTS_DIR", home.dir / "Dokumente");
    EXPECT_EQ(default_settings()["workspace"], (home.dir / "Dokumente" / "Mivra Projects").string());
}

TEST(AgentSettings, FileMembersReplaceDefaultsWholeAndUnknownKeysSurviveASave) {
    settings_home home;
    const std::string text = R"({"permissions": {"read": "deny"}, "extra": {"z": [1, "ü"], "a": null}, "max_steps": 3})";
    home.seed(text);
    load_settings();
    EXPECT_EQ(agent_state.settings["permissions"], json::parse(R"({"read":"deny"})"));
    EXPECT_EQ(agent_state.settings["max_steps"], 3);
    EXPECT_EQ(agent_state.settings["mode"], "exact");
    EXPECT_EQ(read_text(home.file()), text);  // nothing to encrypt: not rewritten at start

    save_settings();
    const json saved = home.saved();
    EXPECT_EQ(saved["extra"], json::parse(R"({"a":null,"z":[1,"ü"]})"));
    std::vector<std::string> keys;
    for (auto it = saved.begin(); it != saved.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"brave_api_key", "extra", "full_permission", "max_steps", "mcpServers",
                                              "mode", "permissions", "provider", "provider_keys", "skills_dir",
                                              "thinking", "workspace"}));
}

TEST(AgentSettings, SavedTextIsSortedIndentedUnescapedWithoutTrailingNewline) {
    settings_home home;
    agent_state.settings = json::parse(R"({"b": 1, "a": {"d": "Grüße ✓", "c": [1, 2], "e": {}}})");
    save_settings();
    EXPECT_EQ(read_text(home.file()),
              "{\n  \"a\": {\n    \"c\": [\n      1,\n      2\n    ],\n    \"d\": \"Grüße ✓\",\n    \"e\": {}\n  },\n"
              "  \"b\": 1\n}");
    EXPECT_FALSE(fs::exists(home.file().string() + ".tmp"));
}

TEST(AgentSettings, PlainSecretsAreEncryptedInTheFileAtStartAndPlainInMemory) {
    settings_home home;
    home.seed(R"({"brave_api_key": "brave-plain", "provider_keys": {"https://p.example/v1": "pk", "empty": ""},
                 "mcpServers": {"files": {"command": "npx", "env": {"TOKEN": "t0k", "COUNT": 5}}, "odd": 3},
                 "unknown": "kept"})");
    load_settings();
    EXPECT_EQ(agent_state.settings["brave_api_key"], "brave-plain");
    EXPECT_EQ(agent_state.settings["provider_keys"]["https://p.example/v1"], "pk");
    EXPECT_EQ(agent_state.settings["mcpServers"]["files"]["env"]["TOKEN"], "t0k");

    const json saved = home.saved();
    for (const std::string& stored : {saved["brave_api_key"].get<std::string>(),
                                      saved["provider_keys"]["https://p.example/v1"].get<std::string>(),
                                      saved["mcpServers"]["files"]["env"]["TOKEN"].get<std::string>()}) {
        EXPECT_TRUE(stored.starts_with("dpapi:")) << stored;
    }
    EXPECT_EQ(unprotect_secret(saved["brave_api_key"]), "brave-plain");
    EXPECT_EQ(unprotect_secret(saved["mcpServers"]["files"]["env"]["TOKEN"]), "t0k");
    EXPECT_EQ(saved["provider_keys"]["empty"], "");
    EXPECT_EQ(saved["mcpServers"]["files"]["env"]["COUNT"], 5);
    EXPECT_EQ(saved["mcpServers"]["odd"], 3);
    EXPECT_EQ(saved["unknown"], "kept");
    EXPECT_EQ(mode_of(home.file()), 0600u);

    // The next start reads the encrypted form back to the same plain values and writes nothing.
    const std::string text = read_text(home.file());
    load_settings();
    EXPECT_EQ(agent_state.settings["provider_keys"]["https://p.example/v1"], "pk");
    EXPECT_EQ(read_text(home.file()), text);
}

TEST(AgentSettings, SecretsAreVisitedInTheirOrder) {
    json settings = json::parse(R"({"mcpServers": {"b": {"env": {"Y": "4", "X": "3"}}, "a": {"env": {"Z": "2"}},
                                                    "c": {"env": "no"}},
                                    "provider_keys": {"k/2": "1b", "k~1": "1a", "n": 7}, "brave_api_key": "0",
                                    "other": "x"})");
    std::vector<std::string> seen;
    for_each_secret_place(settings, [&](const std::string& place, json& value) {
        seen.push_back(place + "=" + value.get<std::string>());
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"/brave_api_key=0", "/provider_keys/k~12=1b", "/provider_keys/k~01=1a",
                                              "/mcpServers/a/env/Z=2", "/mcpServers/b/env/X=3",
                                              "/mcpServers/b/env/Y=4"}));
    for_each_secret_setting(settings, [](const std::string& value) { return "<" + value + ">"; });
    EXPECT_EQ(settings["provider_keys"]["k/2"], "<1b>");
    EXPECT_EQ(settings["provider_keys"]["n"], 7);
    EXPECT_EQ(settings["other"], "x");
}

// A file that the program cannot use is renamed aside before the defaults take over, so the next save (from the
// settings page, or because of a plain secret) cannot destroy what the user wrote into it.
TEST(AgentSettings, UnusableFilesAreKeptAsideAndTheDefaultsUsed) {
    for (const char* text : {"{\"mcpServers\": {\"x\": 1},", "[1, 2]", "", "null", "{\"a\": 1} // note"}) {
        settings_home home;
        home.seed(text);
        load_settings();
        EXPECT_EQ(agent_state.settings, default_settings()) << text;
        EXPECT_FALSE(fs::exists(home.file())) << text;
        const auto aside = home.kept_aside();
        ASSERT_EQ(aside.size(), 1u) << text;
        EXPECT_EQ(read_text(aside[0]), text);
        save_settings();
        EXPECT_EQ(read_text(aside[0]), text);
    }
    // Two broken files within one second keep two names.
    settings_home home;
    home.seed("broken one");
    load_settings();
    home.seed("broken two");
    load_settings();
    const auto aside = home.kept_aside();
    ASSERT_GE(aside.size(), 1u);
    std::set<std::string> texts;
    for (const auto& path : aside) texts.insert(read_text(path));
    EXPECT_EQ(texts, (std::set<std::string>{"broken one", "broken two"}));
}

TEST(AgentSettings, WorkspaceThatIsNotAStringStopsTheStart) {
    settings_home home;
    home.seed(R"({"workspace": null})");
    EXPECT_THROW(load_settings(), json::type_error);
    home.seed(R"({"workspace": 5})");
    EXPECT_THROW(load_settings(), json::type_error);
}

// A secret encrypted under another key (a settings file copied from another user or computer) reads as "", and
// its stored form goes back into the file unchanged until a new value is set.
TEST(AgentSettings, UndecryptableSecretsAreWrittenBackUnchanged) {
    settings_home home;
    const std::string brave = protect_secret("brave of a");
    const std::string provider = protect_secret("provider of a");
    home.seed(json{{"brave_api_key", brave}, {"provider_keys", {{"https://p", provider}}}}.dump());
    home.use_key("key-b");
    load_settings();
    EXPECT_EQ(agent_state.settings["brave_api_key"], "");
    EXPECT_EQ(agent_state.settings["provider_keys"]["https://p"], "");
    EXPECT_EQ(home.saved()["brave_api_key"], brave);  // not rewritten at start

    agent_state.settings["mode"] = "fast";
    save_settings();
    EXPECT_EQ(home.saved()["brave_api_key"], brave);
    EXPECT_EQ(home.saved()["provider_keys"]["https://p"], provider);

    agent_state.settings["provider_keys"]["https://p"] = "provider of b";
    save_settings();
    EXPECT_EQ(home.saved()["brave_api_key"], brave);
    EXPECT_EQ(unprotect_secret(home.saved()["provider_keys"]["https://p"]), "provider of b");
    agent_state.settings["provider_keys"]["https://p"] = "";  // cleared after a new value: stays cleared
    save_settings();
    EXPECT_EQ(home.saved()["provider_keys"]["https://p"], "");

    agent_state.settings.erase("brave_api_key");  // a removed secret is not brought back
    save_settings();
    EXPECT_FALSE(home.saved().contains("brave_api_key"));

    home.use_key("key-a");  // back on the first computer the kept form still opens
    EXPECT_EQ(unprotect_secret(brave), "brave of a");
}

// Without a usable key a secret is never written in plain text: the save fails and the file stays as it was.
TEST(AgentSettings, ASecretThatCannotBeEncryptedFailsTheSave) {
    settings_home home;
    fs::create_directories(secret_key_path().parent_path());
    write_text(secret_key_path(), "short");  // an unusable key is never replaced
    home.seed(R"({"brave_api_key": "typed by hand"})");
    load_settings();  // the save at start fails quietly
    EXPECT_EQ(agent_state.settings["brave_api_key"], "typed by hand");
    EXPECT_EQ(read_text(home.file()), R"({"brave_api_key": "typed by hand"})");

    agent_state.settings["mode"] = "fast";
    try {
        save_settings();
        ADD_FAILURE() << "saved without a key";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot encrypt the secrets of the settings with the key in " +
                                             secret_key_path().string() + ", so the settings were not saved");
    }
    EXPECT_EQ(read_text(home.file()), R"({"brave_api_key": "typed by hand"})");
    EXPECT_FALSE(fs::exists(home.file().string() + ".tmp"));

    agent_state.settings["brave_api_key"] = "";  // with no secret to encrypt the save goes through
    save_settings();
    EXPECT_EQ(home.saved()["mode"], "fast");
}

TEST(AgentSettings, FailedSavesLeaveTheFileAsItWas) {
    settings_home home;
    home.seed("{\"old\": true}");
    agent_state.settings = json::parse(R"({"new": true})");

    fs::create_directories(home.file().string() + ".tmp");  // the temporary file cannot be written
    try {
        save_settings();
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("cannot write " + home.file().string() + ".tmp: ")) << e.what();
    }
    EXPECT_EQ(read_text(home.file()), "{\"old\": true}");
    EXPECT_TRUE(fs::is_directory(home.file().string() + ".tmp"));  // not ours: left alone
    fs::remove(home.file().string() + ".tmp");

    agent_state.settings_path = home.file() / "inside-a-file" / "settings.json";
    try {
        save_settings();
        ADD_FAILURE();
    } catch (const fs::filesystem_error& e) {
        EXPECT_NE(std::string(e.what()).find("create_directories"), std::string::npos) << e.what();
    }

    agent_state.settings_path = home.dir / "taken";
    fs::create_directories(home.dir / "taken" / "child");  // a folder in the way of the rename
    try {
        save_settings();
        ADD_FAILURE();
    } catch (const fs::filesystem_error& e) {
        EXPECT_NE(std::string(e.what()).find("rename"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(home.dir / "taken.tmp"));
}

TEST(AgentSettings, PrivateModesWhateverTheUmask) {
    for (const mode_t mask : {mode_t(0), mode_t(0022), mode_t(0277)}) {
        settings_home home;
        umask_scope scope(mask);
        agent_state.settings_path = home.dir / "new" / "deeper" / "settings.json";
        agent_state.settings = json::parse(R"({"brave_api_key": "k"})");
        save_settings();
        EXPECT_EQ(mode_of(home.file()), 0600u) << mask;
        EXPECT_EQ(mode_of(home.dir / "new" / "deeper"), 0700u) << mask;
        EXPECT_EQ(mode_of(home.dir / "new"), 0700u) << mask;
        EXPECT_EQ(mode_of(app_data_folder()), 0700u) << mask;
        EXPECT_EQ(app_data_folder(), home.dir / "data" / "Mivra");
        EXPECT_EQ(backups_folder(), home.dir / "data" / "Mivra" / "backups");

        // An existing settings file of wider mode becomes private at the next save.
        chmod(home.file().c_str(), 0644);
        save_settings();
        EXPECT_EQ(mode_of(home.file()), 0600u) << mask;
    }
}

TEST(AgentSettings, ProjectFolderAndItsPerThreadOverride) {
    settings_home home;
    agent_state.settings = json::parse(R"({"workspace": "/projects/Grüße"})");
    EXPECT_EQ(project_folder(), fs::path("/projects/Grüße"));
    project_override = "/chat/folder";
    EXPECT_EQ(project_folder(), fs::path("/chat/folder"));
    std::thread([] { EXPECT_EQ(project_folder(), fs::path("/projects/Grüße")); }).join();
    agent_state.settings["workspace"] = 5;
    EXPECT_EQ(project_folder(), fs::path("/chat/folder"));
    project_override.clear();
    EXPECT_THROW(project_folder(), json::type_error);
    agent_state.settings.erase("workspace");
    EXPECT_EQ(project_folder(), fs::path());
}
