#include "common/user_settings.h"

#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

TEST(UserSettings, ValuesSurviveOtherWrites) {
    temp_folder tmp;
    const fs::path file = tmp / "config" / "mivra" / "mivra.json";
    EXPECT_EQ(read_user_setting(file, "PathDir"), "");

    write_user_setting(file, "PathDir", "/opt/mivra");
    write_user_setting(file, "PathOff", "0");
    write_user_setting(file, "PathDir", "/opt/Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(read_user_setting(file, "PathDir"), "/opt/Grüße");
    EXPECT_EQ(read_user_setting(file, "PathOff"), "0");
    EXPECT_EQ(nlohmann::json::parse(read_text(file)),
              nlohmann::json({{"PathDir", "/opt/Grüße"}, {"PathOff", "0"}}));
    EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

TEST(UserSettings, UnreadableValuesCountAsEmpty) {
    temp_folder tmp;
    const struct {
        const char* text;
        const char* value;  // of "v"
    } cases[] = {
        {R"({"v": "1"})", "1"}, {R"({"v": 1})", ""}, {R"({"v": null})", ""},
        {R"(["v"])", ""},       {"{\"v\": ", ""},    {"", ""},
    };
    for (const auto& c : cases) {
        write_text(tmp / "s.json", c.text);
        EXPECT_EQ(read_user_setting(tmp / "s.json", "v"), c.value) << c.text;
    }
    // A broken file is replaced by a good one.
    write_text(tmp / "s.json", "{\"v\": ");
    write_user_setting(tmp / "s.json", "w", "2");
    EXPECT_EQ(nlohmann::json::parse(read_text(tmp / "s.json")), nlohmann::json({{"w", "2"}}));
}

TEST(UserSettings, FailedWriteIsReportedAndKeepsTheFile) {
    temp_folder tmp;
    write_text(tmp / "not-a-folder", "x");
    const fs::path file = tmp / "not-a-folder" / "mivra" / "mivra.json";
    try {
        write_user_setting(file, "PathOff", "1");
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("cannot write " + file.string() + ": ", 0), 0u) << e.what();
    }

    // The target is a folder: the rename fails and the temporary file goes away.
    fs::create_directories(tmp / "cfg" / "mivra.json");
    EXPECT_THROW(write_user_setting(tmp / "cfg" / "mivra.json", "a", "b"), std::runtime_error);
    EXPECT_FALSE(fs::exists(tmp / "cfg" / "mivra.json.tmp"));
}

TEST(UserSettings, ConcurrentWritersLoseNothing) {
    temp_folder tmp;
    const fs::path file = tmp / "mivra.json";
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) write_user_setting(file, std::to_string(t) + "-" + std::to_string(i), "x");
        });
    for (auto& w : writers) w.join();
    EXPECT_EQ(nlohmann::json::parse(read_text(file)).size(), 40u);
}
