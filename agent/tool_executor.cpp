#include "agent/tool_executor.h"

#include <stdexcept>

#include "agent/file_tools.h"

using nlohmann::json;

// The dispatch order: list_dir, search_files, read_file, write_file, edit_file, read_document, run_command,
// web_search, fetch_url, preview_url, load_skill, find_connectors, add_connector, remove_connector, find_skills,
// install_skill, connector_tools; then use_connector and the connector tool keys ("mcp__..."). A tool whose entry
// is not here yet answers as an unknown tool.
const tool_dispatch_entry tool_dispatch[] = {
    {"list_dir", list_dir_tool},
    {"search_files", search_files_tool},
    {"read_file", read_file_tool},
    {"preview_url", preview_url_tool},
};
const size_t tool_dispatch_size = std::size(tool_dispatch);

json execute_agent_tool(const std::string& name, const json& arguments) {
    for (const tool_dispatch_entry& entry : tool_dispatch) {
        if (name == entry.name) return entry.run(arguments);
    }
    throw std::runtime_error("unknown tool " + name);
}
