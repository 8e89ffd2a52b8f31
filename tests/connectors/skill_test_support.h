// What the skill tests share: the GitHub imitation of the test program (its addresses in the environment), a
// skills folder of the test's own in agent_state's settings, and small helpers.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/process_state.h"
#include "fake_github.h"
#include "fixtures/temp_folder.h"

// The GitHub of this test program, made on first use; its addresses go into the environment before its thread (or
// any other of the program) starts.
inline fake_github& github() {
    static fake_github* server = [] {
        auto* s = new fake_github();
        for (const auto& [name, value] : s->environment()) setenv(name.c_str(), value.c_str(), 1);
        s->start();
        return s;
    }();
    return *server;
}

// A skills folder of the test's own as the settings' "skills_dir", for the test's lifetime.
struct skills_dir_setting {
    temp_folder dir;
    std::filesystem::path skills = dir / "skills";
    skills_dir_setting() {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        agent_state.settings = {{"skills_dir", skills.string()}};
    }
    ~skills_dir_setting() {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        agent_state.settings = nullptr;
    }
    void add(const std::string& folder, const std::string& skill_md) const {
        std::filesystem::create_directories(skills / folder);
        write_text(skills / folder / "SKILL.md", skill_md);
    }
};

// The text of the exception that `action` throws, "<no error>" when none.
inline std::string error_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no error>";
}

// Every file below `folder` as a path relative to it, sorted.
inline std::vector<std::string> files_below(const std::filesystem::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_directory()) files.push_back(std::filesystem::relative(entry.path(), folder).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}
