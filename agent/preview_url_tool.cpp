// preview_url: the address at which the user's browser shows an HTML file of the project.
#include "agent/file_tools.h"
#include "agent/project_paths.h"
#include "agent/tool_arguments.h"
#include "common/agent_settings.h"
#include "common/process_state.h"

namespace fs = std::filesystem;
using nlohmann::json;

std::string preview_url_for(const fs::path& path) {
    const fs::path root = fs::weakly_canonical(project_folder());
    const std::string rel = path.lexically_relative(root).string();
    std::string encoded;
    for (char c : rel) {
        if (c == ' ') {
            encoded += "%20";
        } else if (c == '\\') {
            encoded += "%5C";  // a plain character of a name here; a browser would read it as "/"
        } else {
            encoded += c;
        }
    }
    return "http://127.0.0.1:" + std::to_string(agent_state.port) + "/preview/" + encoded;
}

json preview_url_tool(const json& arguments) {
    fs::path path;
    std::string url;
    {
        project_folder_lock lock;
        bool inside = false;
        path = resolve_in_project(required_text(arguments, "path"), inside);
        if (!inside) throw std::runtime_error("only files inside the project folder can be previewed");
        url = preview_url_for(path);
    }
    std::error_code error;
    if (!fs::exists(path, error)) throw std::runtime_error("no such file: " + path.string());
    return {{"url", url}};
}
