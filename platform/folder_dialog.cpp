#include "platform/folder_dialog.h"

#include <csignal>

#include "platform/child_process.h"

namespace {

bool has_display(const std::vector<std::string>& env) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const auto value = find_in_environment(env, name);
        if (value && !value->empty()) return true;
    }
    return false;
}

}  // namespace

std::string pick_folder_dialog(const std::string& title, const std::vector<std::string>& env) {
    if (!has_display(env)) return {};
    child_spec spec;
    spec.argv = {"zenity", "--file-selection", "--directory", "--title=" + title};
    spec.search_path = true;
    spec.env = env;
    spec.out = child_stream::pipe();
    spec.parent_death_signal = SIGTERM;
    child_run_result result;
    try {
        result = run_to_end(spec);
    } catch (const std::exception&) {
        return {};
    }
    if (result.exit_code != 0) return {};
    std::string path = std::move(result.out);
    if (!path.empty() && path.back() == '\n') path.pop_back();
    return path;
}
