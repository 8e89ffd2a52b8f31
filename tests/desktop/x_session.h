// A private X display for one test: Xvfb on a display number it picks itself (-displayfd), a 1920 x 1080 screen,
// openbox as its window manager, and the X tools of the tests run against it. Both servers are ended and reaped when
// the session goes (nothing is left running), and Xvfb gets the chance to remove its lock and socket files.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace desktop_test {

class x_session {
public:
    // Starts Xvfb and openbox; `home` is the window manager's home folder. Throws std::runtime_error when either
    // does not come up within 20 s.
    explicit x_session(const std::filesystem::path& home);
    ~x_session();
    x_session(const x_session&) = delete;
    x_session& operator=(const x_session&) = delete;

    const std::string& display() const { return display_; }

    // Runs an X tool (found along /usr/bin:/bin) against this display; its result (at most 30 s).
    child_run_result tool(const std::vector<std::string>& argv) const;

    // The visible top-level windows of an X class (xdotool search --onlyvisible --class).
    std::vector<std::string> visible_windows(const std::string& window_class) const;
    // One value of `xwininfo -id window`, by its label ("Width", "Height", "Map State", "Absolute upper-left X").
    std::string window_info(const std::string& window, const std::string& label) const;
    // Saves the window (or the whole screen when `window` is empty) as a PNG picture; with `frame`, the window
    // manager's frame around it as well.
    bool screenshot(const std::string& window, const std::filesystem::path& file, bool frame = false) const;
    // Waits up to `seconds` until the window's area on screen shows more than a few colours (a web view paints its
    // page some time after the page has loaded, later still on a busy machine); true once it does.
    bool wait_painted(const std::string& window, double seconds = 20) const;

private:
    std::unique_ptr<child_process> xvfb_;
    std::unique_ptr<child_process> window_manager_;
    std::string display_;
    std::filesystem::path home_;
};

// The test output folder for pictures, under the build tree; created.
std::filesystem::path test_output_folder();

}  // namespace desktop_test
