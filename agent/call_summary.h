// The short summary of a tool call that the agent page shows when it asks the user about the call.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The summary of calling `name` with `arguments`, by tool:
//   run_command                 the command, whole
//   write_file                  "write " + path + " (" + byte length of "content" + " characters)"
//   edit_file                   "edit " + path
//   read_file, list_dir, read_document            path
//   web_search, find_connectors, find_skills     query
//   fetch_url                   url
//   add_connector               "add connector " + (id, else url, else command + " " + compact JSON of "args"),
//                               then " with " and each key of "values" followed by a blank (never the values)
//   remove_connector            "remove connector " + name
//   use_connector               connector + " · " + tool + " " + the first 260 bytes of the compact JSON of
//                               "arguments"
//   connector_tools             connector, then " · " + tool when tool is not empty
//   install_skill               "install skill " + (url, else name)
//   any other name              the first 300 bytes of the compact JSON of the whole arguments
// Missing or mistyped arguments read as "". A cut may fall inside a multi-byte character; the reply that carries
// the summary writes such a broken character as U+FFFD. Never throws (except std::bad_alloc). Stateless.
std::string describe_tool_call(const std::string& name, const nlohmann::json& arguments);
