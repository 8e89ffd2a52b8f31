// POST /agent/tool on a real `mivra serve`: the gate's replies over HTTP, the chat folder that never outlives its
// request on a pooled worker thread, list_dir's lines over a fixture tree, a regular-expression search over a 1 MiB
// line, and the call summaries as the page receives them.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "agent/stub_web_server.h"
#include "agent_user.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A server with its workspace at user.workspace and a folder beside it that lies outside the project.
struct tool_server {
    agent_user user;
    fs::path outside = user.dir / "outside";
    std::unique_ptr<serve_process> server;
    std::string token;

    explicit tool_server(const json& settings = json::object(),
                         const std::map<std::string, std::string>& env = {}) {
        fs::create_directories(outside);
        json seeded = settings;
        seeded["workspace"] = user.workspace.string();
        user.seed_settings(seeded);
        serve_options options = user.options();
        for (const auto& [name, value] : env) options.env[name] = value;
        server = std::make_unique<serve_process>(options);
        token = page_token(server->client()->Get("/simple")->body);
    }
    // A client that keeps its connection: every request it sends is served on one worker thread of the server.
    std::unique_ptr<httplib::Client> client() const {
        auto c = server->client();
        c->set_keep_alive(true);
        c->set_read_timeout(std::chrono::seconds(60));
        return c;
    }
    // The raw reply body of POST /agent/tool with `body` (status 200 checked).
    std::string post(httplib::Client& c, const std::string& body) const {
        auto res = c.Post("/agent/tool", {{"X-Mivra-Token", token}}, body, "application/json");
        if (!res) throw std::runtime_error("no answer: " + httplib::to_string(res.error()));
        EXPECT_EQ(res->status, 200) << body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        return res->body;
    }
    json call(const json& body) const {
        auto c = client();
        return json::parse(post(*c, body.dump()));
    }
};

}  // namespace

TEST(AgentToolServe, TheGateOverHttp) {
    tool_server s;
    write_text(s.outside / "notes.txt", "far away\n");
    auto c = s.client();
    EXPECT_EQ(s.post(*c, R"({"name":"nope"})"), R"({"result":"error: unknown tool nope","status":"error"})");
    // A bad folder fails before the name is looked at.
    EXPECT_EQ(json::parse(s.post(*c, R"({"name":"nope","folder":"/no/such/folder"})")),
              (json{{"status", "error"},
                    {"result", "error: this chat's project folder no longer exists: /no/such/folder"}}));

    const std::string path = (s.outside / "notes.txt").string();
    json reply = s.call({{"name", "read_file"}, {"arguments", {{"path", path}}}});
    EXPECT_EQ(reply, (json{{"status", "needs_approval"}, {"summary", path}, {"group", "read"},
                           {"outside_project", true}}));
    reply = s.call({{"name", "read_file"}, {"arguments", {{"path", path}}}, {"approved", true}});
    EXPECT_EQ(reply["status"], "ok");
    EXPECT_EQ(reply["outside_project"], true);
    EXPECT_EQ(reply["result"]["content"], "1\tfar away\n");

    // The guard comes first: without the token nothing is decided.
    auto res = c->Post("/agent/tool", R"({"name":"nope"})", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
}

TEST(AgentToolServe, TheChatFolderNeverOutlivesItsRequest) {
    tool_server s;
    write_text(s.user.workspace / "which.txt", "workspace\n");
    temp_folder chat;
    write_text(chat / "which.txt", "chat\n");
    const std::string with_folder =
        json{{"name", "read_file"}, {"folder", chat.path.string()}, {"arguments", {{"path", "which.txt"}}}}.dump();
    const std::string failing = json{{"name", "read_file"}, {"folder", chat.path.string()},
                                     {"arguments", {{"path", "missing.txt"}}}}.dump();
    const std::string unknown = json{{"name", "nope"}, {"folder", chat.path.string()}}.dump();
    const std::string without_folder = json{{"name", "read_file"}, {"arguments", {{"path", "which.txt"}}}}.dump();

    // One kept connection: every request below runs on the same worker thread of the server.
    auto c = s.client();
    for (const std::string& first : {with_folder, failing, unknown}) {
        const json before = json::parse(s.post(*c, first));
        if (first == with_folder) EXPECT_EQ(before["result"]["content"], "1\tchat\n");
        const json after = json::parse(s.post(*c, without_folder));
        EXPECT_EQ(after["result"]["content"], "1\tworkspace\n") << "after " << first;
    }
}

TEST(AgentToolServe, ListDirOverAFixtureTree) {
    tool_server s;
    const fs::path& root = s.user.workspace;
    fs::create_directories(root / ".git" / "objects");
    write_text(root / ".git" / "HEAD", "ref: refs/heads/main\n");
    fs::create_directories(root / "node_modules" / "left-pad");
    fs::create_directories(root / "A" / "sub");
    write_text(root / "A" / ".git", "gitdir: ../.git/modules/A\n");  // a file named .git
    write_text(root / "A" / "sub" / "deep.txt", "deep");
    write_text(root / "b.txt", "bee\n");
    write_text(root / "my notes.md", "# notes\n");
    write_text(s.outside / "secret.txt", "secret");
    fs::create_directory_symlink(s.outside, root / "link-out");

    const json reply = s.call({{"name", "list_dir"}, {"arguments", {{"path", "."}, {"depth", 2}}}});
    ASSERT_EQ(reply["status"], "ok") << reply.dump();
    EXPECT_EQ(reply["result"]["path"], root.string());
    EXPECT_EQ(reply["result"]["entries"], json::array({
                                              ".git/  (not listed)",
                                              "A/",
                                              "  sub/",
                                              "  .git  (26 bytes)",
                                              "link-out/  (not listed)",
                                              "node_modules/  (not listed)",
                                              "b.txt  (4 bytes)",
                                              "my notes.md  (8 bytes)",
                                          }));
    EXPECT_EQ(reply["summary"], ".");
}

TEST(AgentToolServe, ARegexSearchOverAOneMiBLineLeavesTheServerStanding) {
    tool_server s;
    write_text(s.user.workspace / "one-line.txt", std::string(1048575, 'a') + "c");
    write_text(s.user.workspace / "short.txt", "abc\nxyz\n");
    const json reply =
        s.call({{"name", "search_files"}, {"arguments", {{"query", "(a|b)*c"}, {"regex", true}}}});
    ASSERT_EQ(reply["status"], "ok") << reply.dump().substr(0, 400);
    EXPECT_EQ(reply["result"]["files_searched"], 2);
    EXPECT_EQ(reply["result"]["matches"], json::array({"short.txt:1: abc"}));
    auto health = s.server->client()->Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
}

TEST(AgentToolServe, CallSummariesAsThePageReceivesThem) {
    tool_server s;
    const std::string dot = " \xC2\xB7 ";
    const std::string long_text(300, 'z');
    struct row {
        json call;
        std::string summary;
        const char* group;
    };
    const row rows[] = {
        {{{"name", "write_file"}, {"arguments", {{"path", "a.txt"}, {"content", "h\xC3\xA9llo"}}}},
         "write a.txt (6 characters)", "write"},
        {{{"name", "edit_file"}, {"arguments", {{"path", "a.txt"}}}}, "edit a.txt", "write"},
        {{{"name", "run_command"}, {"arguments", {{"command", "make test"}}}}, "make test", "command"},
        {{{"name", "use_connector"},
          {"arguments", {{"connector", "gh"}, {"tool", "search"}, {"arguments", {{"q", long_text}}}}}},
         "gh" + dot + "search " + ("{\"q\":\"" + long_text).substr(0, 260), "mcp"},
        {{{"name", "use_connector"}, {"arguments", {{"connector", "gh"}, {"tool", "list"}}}}, "gh" + dot + "list ",
         "mcp"},
        {{{"name", "add_connector"}, {"arguments", {{"id", "github"}, {"values", {{"TOKEN", "t0k"}, {"DIR", "/d"}}}}}},
         "add connector github with DIR TOKEN ", "setup"},
        {{{"name", "install_skill"}, {"arguments", {{"name", "notes"}}}}, "install skill notes", "setup"},
        {{{"name", "mcp__gh__search"}, {"arguments", "{\"q\":\"x\"}"}}, "{\"q\":\"x\"}", "mcp"},
    };
    for (const row& r : rows) {
        const json reply = s.call(r.call);
        EXPECT_EQ(reply, (json{{"status", "needs_approval"}, {"summary", r.summary}, {"group", r.group}}))
            << r.call.dump();
    }
}

// The web tools through the gate: the search takes the Brave Search key from the settings as they are (stored
// encrypted, read in plain text), the page fetch reads a page of this same server.
TEST(AgentToolServe, WebToolsRunThroughTheGate) {
    stub_web_server brave;
    brave.routes().Get("/res/v1/web/search", [](const httplib::Request&, httplib::Response& res) {
        const json results = json::array({{{"title", "Fish"}, {"url", "https://a.example/1"},
                                           {"description", "chips"}}});
        res.set_content(json{{"web", {{"results", results}}}}.dump(), "application/json");
    });
    brave.start();
    tool_server s({{"brave_api_key", "key-from-settings"}},
                  {{"MIVRA_BRAVE_SEARCH_URL", brave.url("")}, {"no_proxy", "127.0.0.1,localhost"}});

    json reply = s.call({{"name", "web_search"}, {"arguments", {{"query", "fish"}}}});
    ASSERT_EQ(reply["status"], "ok") << reply.dump();
    EXPECT_EQ(reply["summary"], "fish");
    EXPECT_EQ(reply["group"], "web");
    EXPECT_EQ(reply["result"]["engine"], "brave");
    EXPECT_EQ(reply["result"]["results"][0]["url"], "https://a.example/1");
    const std::vector<stub_web_server::seen_request> seen = brave.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(header_of(seen[0], "X-Subscription-Token"), "key-from-settings");

    const std::string page = s.server->url() + "/simple";
    reply = s.call({{"name", "fetch_url"}, {"arguments", {{"url", page}}}});
    ASSERT_EQ(reply["status"], "ok") << reply.dump();
    EXPECT_EQ(reply["summary"], page);
    EXPECT_EQ(reply["result"]["url"], page);
    EXPECT_FALSE(reply["result"]["text"].get<std::string>().empty());

    EXPECT_EQ(s.call({{"name", "fetch_url"}, {"arguments", json::object()}}),
              (json{{"status", "error"}, {"result", "error: missing \"url\""}, {"summary", ""}, {"group", "web"}}));
}

// read_document through the gate: a page of 20000 bytes at a time with the offset of the next one, the end, and a
// document that the extraction script reads (a child process started from the server's worker thread).
TEST(AgentToolServe, ReadDocumentPages) {
    tool_server s;
    std::string text;
    for (int i = 0; text.size() < 45000; ++i) text += static_cast<char>('a' + i % 26);
    write_text(s.user.workspace / "long.txt", text);
    const fs::path documents = fs::path(MIVRA_SOURCE_DIR) / "tests" / "agent" / "fixtures" / "documents";
    fs::copy_file(documents / "report.docx", s.user.workspace / "report.docx");

    json reply = s.call({{"name", "read_document"}, {"arguments", {{"path", "long.txt"}}}});
    ASSERT_EQ(reply["status"], "ok") << reply.dump().substr(0, 400);
    EXPECT_EQ(reply["summary"], "long.txt");
    EXPECT_EQ(reply["result"]["text"], text.substr(0, 20000));
    EXPECT_EQ(reply["result"]["total_characters"], 45000);
    EXPECT_EQ(reply["result"]["more"], "read again with offset 20000");
    EXPECT_EQ(reply["result"]["path"], (s.user.workspace / "long.txt").string());
    reply = s.call({{"name", "read_document"}, {"arguments", {{"path", "long.txt"}, {"offset", 40000}}}});
    EXPECT_EQ(reply["result"]["text"], text.substr(40000));
    EXPECT_FALSE(reply["result"].contains("more"));
    reply = s.call({{"name", "read_document"}, {"arguments", {{"path", "long.txt"}, {"offset", 45000}}}});
    EXPECT_EQ(reply["result"], "error: offset is past the end (45000 characters)");
    reply = s.call({{"name", "read_document"}, {"arguments", {{"path", "long.txt"}, {"offset", "x"}}}});
    EXPECT_EQ(reply["status"], "error");

    reply = s.call({{"name", "read_document"}, {"arguments", {{"path", "report.docx"}, {"offset", -3}}}});
    ASSERT_EQ(reply["status"], "ok") << reply.dump().substr(0, 400);
    EXPECT_EQ(reply["result"]["kind"], "docx");
    EXPECT_EQ(reply["result"]["text"].get<std::string>().substr(0, 16), "Quarterly report");
}
