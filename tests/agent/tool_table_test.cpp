// The tool table as the model receives it: the fixed tools in their order, the exact serialisation of their
// schemas, and descriptions that keep the quotes inside them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/shell_command.h"
#include "agent/tool_table.h"
#include "common/process_state.h"

using nlohmann::json;

namespace {

json fixed_table() {
    std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
    agent_state.settings = json::object();
    agent_state.connectors_started = true;  // no start pass from a unit test
    return agent_tool_definitions();
}

const json* find_tool(const json& table, const std::string& name) {
    for (const json& tool : table) {
        if (tool["function"]["name"] == name) return &tool;
    }
    return nullptr;
}

}  // namespace

TEST(ToolTable, FifteenFixedToolsInOrder) {
    const json table = fixed_table();
    std::vector<std::string> names;
    for (const json& tool : table) names.push_back(tool["function"]["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"list_dir", "search_files", "read_file", "read_document", "write_file",
                                               "edit_file", "run_command", "web_search", "fetch_url", "preview_url",
                                               "find_connectors", "add_connector", "remove_connector", "find_skills",
                                               "install_skill"}));
    for (const char* name : {"find_connectors", "add_connector", "find_skills", "install_skill"}) {
        EXPECT_EQ(find_tool(table, name)->at("function")["parameters"]["required"], json::array()) << name;
    }
}

TEST(ToolTable, SerialisedExactly) {
    const json table = fixed_table();
    EXPECT_EQ(find_tool(table, "remove_connector")->dump(),
              R"({"function":{"description":"Remove a connector by its name.","name":"remove_connector",)"
              R"("parameters":{"properties":{"name":{"type":"string"}},"required":["name"],"type":"object"}},)"
              R"("type":"function"})");
    const json& add = find_tool(table, "add_connector")->at("function")["parameters"]["properties"];
    EXPECT_EQ(add["args"].dump(), R"({"items":{"type":"string"},"type":"array"})");
    EXPECT_EQ(add["values"].dump(), R"({"description":"field key -> value","type":"object"})");
    EXPECT_EQ(find_tool(table, "list_dir")->at("function")["description"],
              "List the files and folders in a folder of the project (path relative to the project folder; \".\" = "
              "the project folder). depth 2-4 shows subfolders as a tree.");
    EXPECT_EQ(find_tool(table, "search_files")->at("function")["description"],
              "Search the text of the project's files. Returns file:line: text for each match. Plain text match "
              "ignores case; set regex true for a regular expression. glob limits file names, e.g. \"*.js\".");
    // The shell named is the one that runs the command.
    EXPECT_EQ(find_tool(table, "run_command")->at("function")["description"],
              "Run a " + command_shell_name() +
                  " command in the project folder and return its output and exit code. Don't start servers or "
              "programs that keep running (they are stopped at the timeout); websites are previewed with "
              "preview_url.");
    EXPECT_EQ(find_tool(table, "run_command")->at("function")["parameters"]["properties"].dump(),
              R"({"command":{"type":"string"},"timeout_s":{"description":"default 120, max 1800","type":"integer"}})");
}
