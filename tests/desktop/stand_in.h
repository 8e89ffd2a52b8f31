// The stand-in engine (stand_in_engine.js) installed as `mivra` in a folder, and what it logged.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace desktop_test {

// Copies the stand-in into `folder` as an executable `mivra` that runs `scenario` (see stand_in_engine.js).
void install_stand_in(const std::filesystem::path& folder, const std::string& scenario);

// The records of stand-in.log in `folder`, in order (an unfinished last line is left out).
std::vector<nlohmann::json> stand_in_log(const std::filesystem::path& folder);
// The records of one "event" kind.
std::vector<nlohmann::json> stand_in_records(const std::filesystem::path& folder, const std::string& event);

// True when no process `pid` runs any more (gone, or a zombie waiting for its reaper).
bool process_gone(pid_t pid);

// Waits up to `seconds` for `done`, sleeping 20 ms between tries; its last answer.
template <class F>
bool wait_for(double seconds, F&& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace desktop_test
