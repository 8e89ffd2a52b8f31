// Where a connector's child looks for programs, what environment it gets, and where its log goes.
#include <cstdlib>
#include <string>
#include <vector>

#include "common/agent_settings.h"
#include "connectors/connector.h"

namespace {

// This process's PATH as it was when first asked (nothing in this program changes its own environment).
const std::string& start_up_path() {
    static const std::string path = [] {
        const char* value = std::getenv("PATH");
        return std::string(value ? value : "");
    }();
    return path;
}

std::vector<std::string> split_colons(const std::string& text) {
    std::vector<std::string> parts;
    size_t begin = 0;
    while (true) {
        size_t end = text.find(':', begin);
        parts.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) return parts;
        begin = end + 1;
    }
}

}  // namespace

std::string log_safe_name(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!keep) c = '_';
    }
    return safe;
}

std::filesystem::path connector_log_path(const std::string& name) {
    return app_data_folder() / "logs" / ("connector-" + log_safe_name(name) + ".log");
}

std::string connector_search_path() {
    std::string path = start_up_path();
    std::vector<std::string> listed = split_colons(path);
    std::vector<std::string> extra;
    const char* home = std::getenv("HOME");
    if (home && home[0]) {
        extra.push_back(std::string(home) + "/.local/bin");
        extra.push_back(std::string(home) + "/.cargo/bin");
    }
    for (const char* folder : {"/usr/local/bin", "/usr/bin", "/bin"}) extra.push_back(folder);
    for (const std::string& folder : extra) {
        bool present = false;
        for (const std::string& item : listed) present = present || item == folder;
        if (present) continue;
        path += path.empty() ? folder : ":" + folder;
        listed.push_back(folder);
    }
    return path;
}

std::vector<std::string> connector_environment(const nlohmann::json& config) {
    std::vector<std::string> env = current_environment();
    set_in_environment(env, "PATH", connector_search_path());
    auto extra = config.find("env");
    if (extra != config.end() && extra->is_object()) {
        for (const auto& [name, value] : extra->items()) set_in_environment(env, name, value.get<std::string>());
    }
    return env;
}
