#include "common/file_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "common/process_state.h"
#include "fixtures/temp_folder.h"
#include "platform/folders.h"

namespace {

TEST(FileHelpers, ProgramFolderHoldsThisTest) {
    EXPECT_TRUE(std::filesystem::exists(program_folder() / "common_tests"));
    EXPECT_EQ(program_folder(), std::filesystem::path(MIVRA_BIN_DIR));
}

TEST(FileHelpers, ReadJsonFile) {
    temp_folder dir;
    const std::pair<const char*, const char*> broken[] = {
        {"empty.json", ""}, {"open.json", "{"}, {"comment.json", "// c\n[1]"}, {"trailing.json", "[1] x"}};
    for (const auto& [name, text] : broken) {
        write_text(dir / name, text);
        EXPECT_TRUE(read_json_file(dir / name).is_null()) << name;
    }
    EXPECT_TRUE(read_json_file(dir / "missing.json").is_null());
    EXPECT_TRUE(read_json_file(dir.path).is_null()); // a folder
    write_text(dir / "array.json", "[1,2]\r\n");
    EXPECT_EQ(read_json_file(dir / "array.json"), nlohmann::json::parse("[1,2]"));
}

TEST(FileHelpers, ReadFileText) {
    temp_folder dir;
    std::string big(100000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    write_text(dir / "big.bin", big);
    EXPECT_EQ(read_file_text(dir / "big.bin", 0), "");
    EXPECT_EQ(read_file_text(dir / "big.bin", 10), "abcdefghij");
    EXPECT_EQ(read_file_text(dir / "big.bin", 65537), big.substr(0, 65537));
    EXPECT_EQ(read_file_text(dir / "big.bin"), big);
    for (const std::filesystem::path& bad : {dir / "missing.txt", dir.path}) {
        try {
            read_file_text(bad, 0);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "cannot read " + bad.string());
        }
    }
}

TEST(FileHelpers, JsonStringMembers) {
    const nlohmann::json value = {{"path", "a/b"}, {"n", 5}};
    EXPECT_EQ(json_string_or_empty(value, "path"), "a/b");
    EXPECT_EQ(json_string_or_empty(value, "n"), "");
    EXPECT_EQ(json_string_or_empty(value, "none"), "");
    EXPECT_EQ(json_string_or_empty(nlohmann::json::array({"path"}), "path"), "");
    EXPECT_EQ(json_string_required(value, "path"), "a/b");
    for (const char* name : {"missing", "n"}) {
        try {
            json_string_required(value, name);
            ADD_FAILURE() << name;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("missing \"") + name + "\"");
        }
    }
}

TEST(FileHelpers, EnvPathOrDefault) {
    setenv("MIVRA_TEST_ENV_PATH", "", 1);
    EXPECT_EQ(env_path_or_default("MIVRA_TEST_ENV_PATH", "fallback"), "fallback");
    setenv("MIVRA_TEST_ENV_PATH", "/x/ü", 1);
    EXPECT_EQ(env_path_or_default("MIVRA_TEST_ENV_PATH", "fallback"), "/x/ü");
    unsetenv("MIVRA_TEST_ENV_PATH");
    EXPECT_EQ(env_path_or_default("MIVRA_TEST_ENV_PATH", "fallback"), "fallback");
}

TEST(Folders, XdgFoldersAndPrivateCreation) {
    temp_folder dir;
    const std::string root = dir.path.string();
    const std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    EXPECT_EQ(app_data_folder_path(), dir.path / "data" / "Mivra");
    EXPECT_EQ(std::filesystem::status(dir.path / "data" / "Mivra").permissions(), std::filesystem::perms::owner_all);
    EXPECT_EQ(local_app_data_folder_path(), dir.path / "state" / "Mivra");
    EXPECT_EQ(config_folder_path(), dir.path / "config" / "mivra");
    std::filesystem::create_directories(dir.path / "config");
    write_text(dir.path / "config" / "user-dirs.dirs", "# x\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(documents_folder_path(), home_folder() / "Dokumente");
    setenv("XDG_DATA_HOME", "relative/path", 1); // not absolute: ignored
    EXPECT_EQ(app_data_folder_path(), dir.path / "home/.local/share/Mivra");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path / "home/.local/share/Mivra"));
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_STATE_HOME");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", old_home.c_str(), 1);
}

TEST(ProcessState, StartValuesAndPerThreadOverride) {
    EXPECT_EQ(last_pull_error, "");
    EXPECT_EQ(secret_prefix, "dpapi:");
    EXPECT_EQ(agent_state.port, 8080);
    EXPECT_TRUE(agent_state.served_locally);
    EXPECT_TRUE(agent_state.settings.is_null());
    EXPECT_TRUE(agent_state.update_notice.is_null());
    EXPECT_FALSE(agent_state.connectors_started || agent_state.connectors_starting);
    project_override = "/here";
    std::string seen = "unset";
    std::thread([&] {
        seen = project_override;
        project_override = "/there";
    }).join();
    EXPECT_EQ(seen, "");
    EXPECT_EQ(project_override, "/here");
    project_override.clear();
}

} // namespace
