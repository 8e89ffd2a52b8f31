#include "agent/tool_table.h"

#include "agent/shell_command.h"
#include "common/process_state.h"
#include "connectors/connector_registry.h"
#include "connectors/skill_folder.h"

using nlohmann::json;

namespace {

json typed(const char* type) { return json{{"type", type}}; }

json typed(const char* type, const char* description) { return json{{"type", type}, {"description", description}}; }

// The fixed tools, in the table's order. Their texts are what the model reads: change them only with the
// permission gate and the executor, which take the same names and argument keys.
void append_fixed_tools(json& table) {
    table.push_back(make_tool_definition(
        "list_dir",
        R"(List the files and folders in a folder of the project (path relative to the project folder; "." = the project folder). depth 2-4 shows subfolders as a tree.)",
        {{"path", typed("string")}, {"depth", typed("integer", "1 (default) to 4")}}, {"path"}));
    table.push_back(make_tool_definition(
        "search_files",
        R"(Search the text of the project's files. Returns file:line: text for each match. Plain text match ignores case; set regex true for a regular expression. glob limits file names, e.g. "*.js".)",
        {{"query", typed("string")}, {"path", typed("string")}, {"glob", typed("string")},
         {"regex", typed("boolean")}},
        {"query"}));
    table.push_back(make_tool_definition(
        "read_file", "Read a text file. Returns numbered lines. Use offset/limit (line numbers) for long files.",
        {{"path", typed("string")}, {"offset", typed("integer")}, {"limit", typed("integer")}}, {"path"}));
    table.push_back(make_tool_definition(
        "read_document",
        "Read a file read_file can't: PDF, Word (.docx), Excel (.xlsx), PowerPoint (.pptx), OpenDocument, pictures "
        "(the words in them, by OCR; you can't see images) and video/audio (length and size only). Returns its text.",
        {{"path", typed("string")}, {"offset", typed("integer", "character to start at, for long documents")}},
        {"path"}));
    table.push_back(make_tool_definition(
        "write_file", "Create a file or replace its whole content. Folders are created as needed.",
        {{"path", typed("string")}, {"content", typed("string")}}, {"path", "content"}));
    table.push_back(make_tool_definition(
        "edit_file",
        "Replace one exact piece of text in a file. old_text must appear exactly once; include enough surrounding "
        "lines to make it unique.",
        {{"path", typed("string")}, {"old_text", typed("string")}, {"new_text", typed("string")}},
        {"path", "old_text", "new_text"}));
    table.push_back(make_tool_definition(
        "run_command",
        run_command_description(),
        {{"command", typed("string")}, {"timeout_s", typed("integer", "default 120, max 1800")}}, {"command"}));
    table.push_back(make_tool_definition("web_search", "Search the web. Returns titles, links and short snippets.",
                                         {{"query", typed("string")}}, {"query"}));
    table.push_back(make_tool_definition(
        "fetch_url", "Download a web page and return its readable text (or raw text for JSON and plain text).",
        {{"url", typed("string")}}, {"url"}));
    table.push_back(make_tool_definition(
        "preview_url", "Get the address where the user can open an HTML file of the project in their browser.",
        {{"path", typed("string")}}, {"path"}));
    table.push_back(make_tool_definition(
        "find_connectors",
        "Search Mivra's list of ready-made connectors (MCP servers: GitHub, Notion, a browser, databases, search, "
        "...) that give you new tools. Returns each one's id, what it needs (API keys, folders) and whether it is "
        "installed.",
        {{"query", typed("string", "words to look for; empty lists all")}}, {}));
    table.push_back(make_tool_definition(
        "add_connector",
        "Add and start a connector, so its tools are yours from the next step on. Use id from find_connectors with "
        "values for its fields (ask the user for keys or tokens first; never invent them). Or url for a remote MCP "
        "server, or command + args + env for any other MCP server.",
        {{"id", typed("string")},
         {"values", typed("object", "field key -> value")},
         {"name", typed("string", "optional short name")},
         {"url", typed("string")},
         {"command", typed("string")},
         {"args", {{"type", "array"}, {"items", typed("string")}}},
         {"env", typed("object")}},
        {}));
    table.push_back(make_tool_definition("remove_connector", "Remove a connector by its name.",
                                         {{"name", typed("string")}}, {"name"}));
    table.push_back(make_tool_definition(
        "find_skills",
        "Search the skills that can be installed (instruction packs for tasks like PDFs, Word or PowerPoint files, "
        "web design, testing websites, building MCP servers). Returns name, description, link and whether it is "
        "installed.",
        {{"query", typed("string")}}, {}));
    table.push_back(make_tool_definition(
        "install_skill",
        "Install a skill: url = a GitHub link to a skill folder (from find_skills or the user). Or write a new skill "
        "yourself with name, description (when to use it) and instructions (Markdown).",
        {{"url", typed("string")},
         {"name", typed("string")},
         {"description", typed("string")},
         {"instructions", typed("string")}},
        {}));
}

}  // namespace

json make_tool_definition(const std::string& name, const std::string& description, const json& properties,
                          const std::vector<std::string>& required) {
    json parameters = {{"type", "object"}, {"properties", properties}, {"required", json::array()}};
    for (const std::string& key : required) parameters["required"].push_back(key);
    return {{"type", "function"},
            {"function", {{"name", name}, {"description", description}, {"parameters", std::move(parameters)}}}};
}

json agent_tool_definitions() {
    json table = json::array();
    append_fixed_tools(table);
    if (!list_installed_skills(skills_folder_in(agent_state.settings)).empty()) {
        table.push_back(make_tool_definition(
            "load_skill",
            "Load the instructions of a skill (listed in the system prompt) before doing a task it covers.",
            {{"name", typed("string")}}, {"name"}));
    }
    // The pass runs on its own thread: this build still sees the index as it was, a later one lists the tools.
    if (!agent_state.connectors_started) start_all_connectors();
    if (!agent_connectors().index.empty()) {
        table.push_back(make_tool_definition(
            "connector_tools",
            "Show the tools of a connector (listed in the system prompt) with what each does and the arguments it "
            "takes. Call this before use_connector the first time you use a tool.",
            {{"connector", typed("string")}, {"tool", typed("string", "optional: just this tool")}}, {"connector"}));
        table.push_back(make_tool_definition(
            "use_connector",
            "Call a connector's tool. arguments must match that tool's inputSchema from connector_tools.",
            {{"connector", typed("string")}, {"tool", typed("string")}, {"arguments", typed("object")}},
            {"connector", "tool"}));
    }
    return table;
}
