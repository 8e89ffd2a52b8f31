#include "agent/tool_executor.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "agent/connector_tools.h"
#include "agent/document_extraction.h"
#include "agent/file_tools.h"
#include "agent/project_paths.h"
#include "agent/shell_command.h"
#include "agent/skill_tools.h"
#include "agent/tool_arguments.h"
#include "agent/web_tools.h"
#include "common/agent_settings.h"
#include "common/file_helpers.h"
#include "common/process_state.h"

using nlohmann::json;

namespace {

// read_document: the text of a document, a page of 20000 bytes from "offset". Whether the path lies inside the
// project is not looked at here: the gate has asked for an outside path.
json read_document_entry(const json& arguments) {
    bool inside = false;
    std::filesystem::path path;
    {
        project_folder_lock lock;
        path = resolve_in_project(required_text(arguments, "path"), inside);
    }
    const int64_t offset = std::max<int64_t>(optional_integer(arguments, "offset", 0), 0);
    return read_document_page(extract_document_text(path, app_data_folder() / "tmp"), offset, path.string());
}

// run_command: the time limit is read (and clamped) before the command.
json run_command_entry(const json& arguments) {
    const int64_t timeout_s = clamp_integer(optional_integer(arguments, "timeout_s", 120), 5, 1800);
    return run_shell_command(required_text(arguments, "command"), int(timeout_s));
}

// web_search with the Brave Search key as the settings hold it now, copied out under the lock.
json web_search_entry(const json& arguments) {
    std::string key;
    {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        key = json_string_or_empty(agent_state.settings, "brave_api_key");
    }
    return web_search_tool(arguments, key);
}

// One entry of the dispatch: a tool name and its handler (arguments -> result, or an exception for the model).
struct tool_dispatch_entry {
    const char* name;
    json (*run)(const json& arguments);
};

// The dispatch order: list_dir, search_files, read_file, write_file, edit_file, read_document, run_command,
// web_search, fetch_url, preview_url, load_skill, find_connectors, add_connector, remove_connector, find_skills,
// install_skill, connector_tools; then use_connector and the connector tool keys ("mcp__..."). A tool whose entry
// is not here yet answers as an unknown tool.
const tool_dispatch_entry tool_dispatch[] = {
    {"list_dir", list_dir_tool},
    {"search_files", search_files_tool},
    {"read_file", read_file_tool},
    {"write_file", write_file_tool},
    {"edit_file", edit_file_tool},
    {"read_document", read_document_entry},
    {"run_command", run_command_entry},
    {"web_search", web_search_entry},
    {"fetch_url", fetch_url_tool},
    {"preview_url", preview_url_tool},
    {"load_skill", load_skill_tool},
    {"find_connectors", find_connectors_tool},
    {"add_connector", add_connector_tool},
    {"remove_connector", remove_connector_tool},
    {"find_skills", find_skills_tool},
    {"install_skill", install_skill_tool},
    {"connector_tools", connector_tools_tool},
};

}  // namespace

json execute_agent_tool(const std::string& name, const json& arguments) {
    for (const tool_dispatch_entry& entry : tool_dispatch) {
        if (name == entry.name) return entry.run(arguments);
    }
    if (name == "use_connector" || name.starts_with("mcp__")) return call_connector_tool(name, arguments);
    throw std::runtime_error("unknown tool " + name);
}
