// The permission gate in-process: the permission groups, the call summaries, and the decision of
// handle_agent_tool for every combination of permission, full_permission, an outside path and approval, with the
// reply's shape and the folder rules. The tools themselves run on a real project tree.
#include "agent/tool_gate.h"

#include <gtest/gtest.h>

#include "agent/call_summary.h"
#include "common/agent_settings.h"
#include "project_tree.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Settings and a page token of agent_state for one test; the project folder is the settings' "workspace".
struct gate_fixture {
    project_tree project;
    gate_fixture() {
        project_override.clear();
        agent_state.page_token = "0123456789abcdef0123456789abcdef";
        agent_state.port = 8080;
        agent_state.served_locally = true;
        agent_state.settings = default_settings();
        agent_state.settings["workspace"] = project.root.string();
        project.file("a.txt", "alpha\n");
        write_text(project.outside / "o.txt", "outside\n");
    }
    ~gate_fixture() { agent_state.settings = nullptr; }

    // POST /agent/tool with `body` as the page sends it; the reply's JSON (status 200 is checked).
    json call(const std::string& body) const {
        httplib::Request req;
        req.method = "POST";
        req.path = "/agent/tool";
        req.body = body;
        req.headers.emplace("Host", "127.0.0.1:8080");
        req.headers.emplace("X-Mivra-Token", agent_state.page_token);
        httplib::Response res;
        handle_agent_tool(req, res);
        EXPECT_EQ(res.status, 200) << body;
        EXPECT_EQ(res.get_header_value("Content-Type"), "application/json");
        EXPECT_TRUE(project_override.empty()) << "the project folder outlived the request " << body;
        return json::parse(res.body);
    }
    json call(const json& body) const { return call(body.dump()); }
};

std::string text_after_bracket(const std::string& text) { return text.substr(text.find(']') + 2); }

}  // namespace

TEST(ToolGate, PermissionGroups) {
    const std::pair<const char*, const char*> rows[] = {
        {"list_dir", "read"},          {"read_file", "read"},         {"preview_url", "read"},
        {"search_files", "read"},      {"read_document", "read"},     {"connector_tools", "read"},
        {"write_file", "write"},       {"edit_file", "write"},        {"run_command", "command"},
        {"web_search", "web"},         {"fetch_url", "web"},          {"find_connectors", "web"},
        {"find_skills", "web"},        {"load_skill", "skills"},      {"add_connector", "setup"},
        {"remove_connector", "setup"}, {"install_skill", "setup"},    {"use_connector", "mcp"},
        {"mcp__github__create_issue", "mcp"}, {"mcp__", "mcp"},       {"mcp_x", ""},
        {"MCP__x", ""},                {"Read_File", ""},             {"read_file ", ""},
        {"nope", ""},                  {"", ""},
    };
    for (const auto& [name, group] : rows) EXPECT_EQ(tool_permission_group(name), group) << name;
}

TEST(ToolGate, CallSummaries) {
    const std::string dot = " \xC2\xB7 ";
    const std::string long_query(400, 'q');
    const std::pair<std::pair<const char*, json>, std::string> rows[] = {
        {{"run_command", {{"command", "ls -la && echo done"}}}, "ls -la && echo done"},
        {{"write_file", {{"path", "a/b.txt"}, {"content", "abc"}}}, "write a/b.txt (3 characters)"},
        {{"write_file", {{"path", "u.txt"}, {"content", "\xC3\xA9"}}}, "write u.txt (2 characters)"},
        {{"write_file", {{"path", 5}}}, "write  (0 characters)"},
        {{"edit_file", {{"path", "x.js"}, {"old_text", "a"}}}, "edit x.js"},
        {{"read_file", {{"path", "r.md"}}}, "r.md"},
        {{"list_dir", json::object()}, ""},
        {{"read_document", {{"path", "d.pdf"}}}, "d.pdf"},
        {{"web_search", {{"query", "weather"}}}, "weather"},
        {{"find_connectors", {{"query", "git"}}}, "git"},
        {{"find_skills", json::array()}, ""},
        {{"fetch_url", {{"url", "https://example.com/"}}}, "https://example.com/"},
        {{"add_connector", {{"id", "github"}, {"values", {{"TOKEN", "secret"}, {"DIR", "/x"}}}}},
         "add connector github with DIR TOKEN "},
        {{"add_connector", {{"url", "https://mcp.example/"}, {"values", json::object()}}},
         "add connector https://mcp.example/"},
        {{"add_connector", {{"command", "npx"}, {"args", {"-y", "server"}}}}, "add connector npx [\"-y\",\"server\"]"},
        {{"add_connector", {{"command", "uvx"}}}, "add connector uvx "},
        {{"remove_connector", {{"name", "files"}}}, "remove connector files"},
        {{"use_connector", {{"connector", "gh"}, {"tool", "list"}}}, "gh" + dot + "list "},
        {{"use_connector", {{"connector", "gh"}, {"tool", "list"}, {"arguments", {{"b", 1}, {"a", "x"}}}}},
         "gh" + dot + "list {\"a\":\"x\",\"b\":1}"},
        {{"use_connector", {{"connector", "gh"}, {"tool", "t"}, {"arguments", {{"q", long_query}}}}},
         "gh" + dot + "t " + ("{\"q\":\"" + long_query).substr(0, 260)},
        {{"connector_tools", {{"connector", "gh"}}}, "gh"},
        {{"connector_tools", {{"connector", "gh"}, {"tool", "search"}}}, "gh" + dot + "search"},
        {{"install_skill", {{"url", "https://github.com/o/r/tree/main/s"}, {"name", "n"}}},
         "install skill https://github.com/o/r/tree/main/s"},
        {{"install_skill", {{"name", "notes"}}}, "install skill notes"},
        {{"search_files", {{"query", "x"}, {"regex", true}}}, "{\"query\":\"x\",\"regex\":true}"},
        {{"search_files", {{"query", long_query}}}, ("{\"query\":\"" + long_query).substr(0, 300)},
        {{"preview_url", {{"path", "i.html"}}}, "{\"path\":\"i.html\"}"},
        {{"mcp__a__b", {{"k", "v"}}}, "{\"k\":\"v\"}"},
        {{"nope", "text"}, "\"text\""},
    };
    for (const auto& [call, summary] : rows) {
        EXPECT_EQ(describe_tool_call(call.first, call.second), summary) << call.first << " " << call.second.dump();
    }
}

TEST(ToolGate, TheDecisionTable) {
    gate_fixture gate;
    const std::string outside = (gate.project.outside / "o.txt").string();
    struct row {
        const char* permission;  // the "read" permission
        bool full;
        bool path_outside;
        bool approved;
        const char* status;
    };
    const row rows[] = {
        {"deny", false, false, false, "blocked"},       {"deny", true, true, true, "blocked"},
        {"ask", false, false, false, "needs_approval"}, {"ask", false, true, false, "needs_approval"},
        {"ask", false, false, true, "ok"},              {"ask", false, true, true, "ok"},
        {"ask", true, true, false, "ok"},               {"allow", false, false, false, "ok"},
        {"allow", false, true, false, "needs_approval"}, {"allow", false, true, true, "ok"},
        {"allow", true, true, false, "ok"},             {"sometimes", false, false, false, "needs_approval"},
    };
    for (const row& r : rows) {
        agent_state.settings["permissions"] = {{"read", r.permission}};
        agent_state.settings["full_permission"] = r.full;
        const json reply = gate.call({{"name", "read_file"},
                                      {"arguments", {{"path", r.path_outside ? outside : "a.txt"}}},
                                      {"approved", r.approved}});
        const std::string shown = std::string(r.permission) + (r.full ? " full" : "") +
                                  (r.path_outside ? " outside" : "") + (r.approved ? " approved" : "");
        EXPECT_EQ(reply["status"], r.status) << shown;
        EXPECT_EQ(reply["group"], "read") << shown;
        EXPECT_EQ(reply["summary"], r.path_outside ? outside : "a.txt") << shown;
        EXPECT_EQ(reply.contains("outside_project"), r.path_outside) << shown;
        if (r.path_outside) EXPECT_EQ(reply["outside_project"], true) << shown;
        const std::string status = r.status;
        if (status == "needs_approval") EXPECT_FALSE(reply.contains("result")) << shown;
        if (status == "blocked") {
            EXPECT_EQ(reply["result"], "This tool is blocked in Mivra's settings (read). Tell the user what you "
                                       "wanted to do instead.");
        }
        if (status == "ok") {
            EXPECT_EQ(reply["result"]["content"], r.path_outside ? "1\toutside\n" : "1\talpha\n") << shown;
        }
    }

    // A group without an entry asks; "skills" never asks, whatever the settings say (the call runs and fails, as
    // there is no such skill, with its summary and group).
    agent_state.settings["permissions"] = {{"read", "allow"}, {"skills", "deny"}};
    agent_state.settings["full_permission"] = false;
    agent_state.settings["skills_dir"] = testing::TempDir() + "mivra-no-skills";
    EXPECT_EQ(gate.call({{"name", "web_search"}, {"arguments", {{"query", "q"}}}}),
              (json{{"status", "needs_approval"}, {"summary", "q"}, {"group", "web"}}));
    EXPECT_EQ(gate.call({{"name", "load_skill"}, {"arguments", {{"name", "pdf"}}}}),
              (json{{"status", "error"}, {"result", "error: no skill named pdf"}, {"group", "skills"},
                    {"summary", "{\"name\":\"pdf\"}"}}));
    // "mcp" denied: blocked, also approved and with full permission.
    agent_state.settings["permissions"]["mcp"] = "deny";
    agent_state.settings["full_permission"] = true;
    EXPECT_EQ(gate.call({{"name", "mcp__srv__t"}, {"approved", true}})["status"], "blocked");
}

TEST(ToolGate, PathsOnlyFromAStringPathArgument) {
    gate_fixture gate;
    struct row {
        json arguments;
        bool outside;
        const char* status;  // "read" is allowed: an outside path asks, the rest runs
    };
    const row rows[] = {
        {{{"path", "."}}, false, "ok"},
        {{{"path", gate.project.root.string()}}, false, "ok"},
        {{{"path", ".."}}, true, "needs_approval"},
        {{{"path", 7}}, false, "error"},  // not examined; list_dir then refuses it
        {{{"file", "/etc/passwd"}}, false, "ok"},
        {json::array({"/etc"}), false, "error"},
    };
    for (const row& r : rows) {
        const json reply = gate.call({{"name", "list_dir"}, {"arguments", r.arguments}});
        EXPECT_EQ(reply.contains("outside_project"), r.outside) << r.arguments.dump();
        EXPECT_EQ(reply["status"], r.status) << r.arguments.dump() << reply.dump();
    }
}

TEST(ToolGate, TheBodyAndItsFailures) {
    gate_fixture gate;
    // "arguments" as the JSON text of an object behaves as that object.
    EXPECT_EQ(gate.call({{"name", "read_file"}, {"arguments", "{\"path\":\"a.txt\"}"}})["result"]["content"],
              "1\talpha\n");
    struct row {
        std::string body;
        std::string result;  // exact, or (starting with a blank) the JSON library's text after its bracket
    };
    const std::string file = (gate.project.root / "a.txt").string();
    const row rows[] = {
        {"{\"name\":\"nope\"}", "error: unknown tool nope"},
        {"not json",
         " parse error at line 1, column 2: syntax error while parsing value - invalid literal; last read: 'no'"},
        {"[1]", " cannot use at() with array"},
        {"{}", " key 'name' not found"},
        {"{\"name\":3}", " type must be string, but is number"},
        {"{\"name\":\"read_file\",\"arguments\":\"{oops\"}",
         " parse error at line 1, column 2: syntax error while parsing object key - invalid literal; last read: '{o';"
         " expected string literal"},
        {"{\"name\":\"read_file\",\"approved\":\"yes\"}", " type must be boolean, but is string"},
        {"{\"name\":\"nope\",\"folder\":\"" + file + "\"}",
         "error: this chat's project folder no longer exists: " + file},
        {"{\"name\":\"nope\",\"folder\":\"/no/such/folder\"}",
         "error: this chat's project folder no longer exists: /no/such/folder"},
    };
    for (const row& r : rows) {
        const json reply = gate.call(r.body);
        EXPECT_EQ(reply.size(), 2u) << r.body << " " << reply.dump();
        EXPECT_EQ(reply["status"], "error") << r.body;
        const std::string result = reply["result"];
        if (r.result[0] == ' ') {
            EXPECT_EQ(result.substr(0, 7), "error: ");
            EXPECT_EQ(text_after_bracket(result), r.result.substr(1)) << r.body;
        } else {
            EXPECT_EQ(result, r.result) << r.body;
        }
    }
    // Settings the gate cannot read fail the call before anything runs.
    agent_state.settings["permissions"] = "allow";
    EXPECT_EQ(text_after_bracket(gate.call({{"name", "read_file"}})["result"]), "cannot use value() with string");
    agent_state.settings["permissions"] = {{"read", 1}};
    EXPECT_EQ(text_after_bracket(gate.call({{"name", "read_file"}})["result"]), "type must be string, but is number");
    agent_state.settings["permissions"] = {{"read", "allow"}};
    agent_state.settings["full_permission"] = "yes";
    EXPECT_EQ(text_after_bracket(gate.call({{"name", "read_file"}})["result"]),
              "type must be boolean, but is string");
}

TEST(ToolGate, TheChatFolderReplacesTheWorkspaceForOneRequest) {
    gate_fixture gate;
    temp_folder chat;
    write_text(chat / "a.txt", "chat's own\n");
    EXPECT_EQ(gate.call({{"name", "read_file"}, {"folder", chat.path.string()}, {"arguments", {{"path", "a.txt"}}}})
                  ["result"]["content"],
              "1\tchat's own\n");
    // An empty folder, or none, is the workspace (call() checks that the folder is gone after each request).
    EXPECT_EQ(gate.call({{"name", "read_file"}, {"folder", ""}, {"arguments", {{"path", "a.txt"}}}})["result"]
                       ["content"],
              "1\talpha\n");
    // The workspace's file is outside the chat's folder.
    const json reply = gate.call({{"name", "read_file"},
                                  {"folder", chat.path.string()},
                                  {"arguments", {{"path", (gate.project.root / "a.txt").string()}}}});
    EXPECT_EQ(reply["status"], "needs_approval");
    EXPECT_EQ(reply["outside_project"], true);
    // A tool that fails still clears the folder.
    EXPECT_EQ(gate.call({{"name", "read_file"}, {"folder", chat.path.string()}, {"arguments", {{"path", "x"}}}})
                  ["status"],
              "error");
}

TEST(ToolGate, BrokenCharactersOfACutSummaryBecomeReplacementCharacters) {
    gate_fixture gate;
    // 299 bytes of JSON before a two-byte character: the 300-byte summary ends inside it.
    const std::string query = std::string(299 - 10, 'x') + "\xC3\xA9";
    const json reply = gate.call({{"name", "search_files"}, {"arguments", {{"query", query}}}});
    EXPECT_EQ(reply["status"], "ok");
    const std::string summary = reply["summary"];
    EXPECT_EQ(summary, "{\"query\":\"" + std::string(289, 'x') + "\xEF\xBF\xBD");
}

TEST(ToolGate, DeeplyNestedArgumentsAreSummarisedAndRefused) {
    gate_fixture gate;
    const int depth = 200000;
    const std::string body =
        "{\"name\":\"search_files\",\"arguments\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    const json reply = gate.call(body);
    EXPECT_EQ(reply["status"], "error");
    EXPECT_EQ(reply["summary"], std::string(300, '['));
    EXPECT_EQ(text_after_bracket(reply["result"]), "cannot use value() with array");
}
