#include "x_session.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "stand_in.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace desktop_test {

namespace {

const char* const tool_path = "PATH=/usr/bin:/bin";

// Ends a server politely (so Xvfb removes its lock and socket files), then by force.
void end_server(std::unique_ptr<child_process>& server) {
    if (!server) return;
    server->signal(SIGTERM);
    if (!server->wait_exit(5000ms)) server->kill_group(SIGKILL);
    server->reap();
    server.reset();
}

}  // namespace

x_session::x_session(const fs::path& home) : home_(home) {
    fs::create_directories(home);
    child_spec xvfb;
    xvfb.argv = {"Xvfb", "-displayfd", "1", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"};
    xvfb.env = {tool_path};
    xvfb.search_path = true;
    xvfb.out = child_stream::pipe();
    xvfb.parent_death_signal = SIGTERM;
    xvfb_ = std::make_unique<child_process>(spawn_child(xvfb));
    file_descriptor out = xvfb_->take_stdout();
    wake_event never;
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        char buffer[32];
        const read_result r = read_or_wake(out.get(), never, buffer, sizeof buffer, 1000ms);
        if (r.status == read_status::data) number.append(buffer, r.bytes);
        if (r.status == read_status::end || r.status == read_status::error) break;
    }
    if (number.find('\n') == std::string::npos) {
        end_server(xvfb_);
        throw std::runtime_error("Xvfb did not start");
    }
    display_ = ":" + number.substr(0, number.find('\n'));

    child_spec wm;
    wm.argv = {"openbox", "--sm-disable"};
    wm.env = {tool_path, "DISPLAY=" + display_, "HOME=" + home.string()};
    wm.search_path = true;
    wm.parent_death_signal = SIGTERM;
    window_manager_ = std::make_unique<child_process>(spawn_child(wm));
    if (!wait_for(20, [&] { return tool({"wmctrl", "-m"}).exit_code == 0; })) {
        end_server(window_manager_);
        end_server(xvfb_);
        throw std::runtime_error("openbox did not start on " + display_);
    }
}

x_session::~x_session() {
    end_server(window_manager_);
    end_server(xvfb_);
}

child_run_result x_session::tool(const std::vector<std::string>& argv) const {
    child_spec spec;
    spec.argv = argv;
    spec.env = {tool_path, "DISPLAY=" + display_, "HOME=" + home_.string()};
    spec.search_path = true;
    spec.out = child_stream::pipe();
    spec.err = child_stream::pipe();
    child_run_options options;
    options.time_limit = 30s;
    return run_to_end(spec, options);
}

std::vector<std::string> x_session::visible_windows(const std::string& window_class) const {
    std::istringstream lines(tool({"xdotool", "search", "--onlyvisible", "--class", window_class}).out);
    std::vector<std::string> windows;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) windows.push_back(line);
    }
    return windows;
}

std::string x_session::window_info(const std::string& window, const std::string& label) const {
    std::istringstream lines(tool({"xwininfo", "-id", window}).out);
    const std::string key = label + ":";
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(key);
        if (at == std::string::npos) continue;
        std::string value = line.substr(at + key.size());
        value.erase(0, value.find_first_not_of(' '));
        return value;
    }
    return {};
}

bool x_session::screenshot(const std::string& window, const fs::path& file, bool frame) const {
    // -screen reads the window's area from the root window: what is on screen there, the web view's drawing included.
    if (window.empty()) return tool({"import", "-window", "root", file.string()}).exit_code == 0;
    if (frame) {
        // The frame's area of the screen: the window's place widened by the frame extents the window manager set.
        int left = 0, right = 0, top = 0, bottom = 0;
        const std::string extents = tool({"xprop", "-id", window, "_NET_FRAME_EXTENTS"}).out;
        const size_t at = extents.find('=');
        if (at != std::string::npos) std::sscanf(extents.c_str() + at + 1, " %d, %d, %d, %d", &left, &right, &top, &bottom);
        const int x = std::atoi(window_info(window, "Absolute upper-left X").c_str()) - left;
        const int y = std::atoi(window_info(window, "Absolute upper-left Y").c_str()) - top;
        const int width = std::atoi(window_info(window, "Width").c_str()) + left + right;
        const int height = std::atoi(window_info(window, "Height").c_str()) + top + bottom;
        const std::string area = std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(x) + "+" +
                                 std::to_string(y);
        return tool({"import", "-window", "root", "-crop", area, "+repage", file.string()}).exit_code == 0;
    }
    return tool({"import", "-screen", "-window", window, file.string()}).exit_code == 0;
}

bool x_session::wait_painted(const std::string& window, double seconds) const {
    const fs::path probe = home_ / ("paint-probe-" + window + ".png");
    const bool painted = wait_for(seconds, [&] {
        if (!screenshot(window, probe)) return false;
        const std::string colours = tool({"convert", probe.string(), "-format", "%k", "info:"}).out;
        return std::atoi(colours.c_str()) > 16;
    });
    std::error_code error;
    fs::remove(probe, error);
    return painted;
}

fs::path test_output_folder() {
    const fs::path folder = MIVRA_DESKTOP_TEST_OUTPUT;
    fs::create_directories(folder);
    return folder;
}

}  // namespace desktop_test
