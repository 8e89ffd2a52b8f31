// The agent backend on a real `mivra serve` whose HOME, XDG folders, MIVRA_SETTINGS and MIVRA_UI_DIR lie in a
// temporary folder: the page token, the request guard over the whole route table, the pages, the UI and preview
// files with every way out of their folders, and the settings file at start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include <nlohmann/json.hpp>

#include "agent_user.h"
#include "fixtures/test_support.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

answer request(const serve_process& server, const std::string& method, const std::string& path,
               const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(std::chrono::seconds(30));
    auto res = method == "GET" ? client.Get(path, headers) : client.Post(path, headers, "{}", "application/json");
    if (!res) throw std::runtime_error("no answer to " + method + " " + path + ": " + httplib::to_string(res.error()));
    return {res->status, res->body, res->headers};
}

// curl exactly as given: --path-as-is keeps "..", and "-H Host:" leaves the header out.
answer curl(const serve_process& server, const std::string& path, const std::vector<std::string>& extra = {}) {
    temp_folder out;
    std::vector<std::string> args = {"-sS", "--max-time", "30", "--path-as-is", "-D", (out / "head").string(),
                                     "-o", (out / "body").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(server.url() + path);
    const child_result r = run_child("/usr/bin/curl", args, scratch_dir());
    if (r.exit_code != 0) throw std::runtime_error("curl failed: " + r.err);
    const std::string head = read_text(out / "head");
    answer a;
    a.status = std::stoi(head.substr(head.find(' ') + 1, 3));
    a.body = read_text(out / "body");
    return a;
}

const json not_allowed = {{"error", "not allowed"}};
const json only_local = {{"error", "agent tools are only available when Mivra serves on 127.0.0.1"}};

// Every /agent route of the table; the ones not built yet answer 404 once the guard lets them through, and
// /agent/tool answers 200 with its reply.
const std::pair<const char*, const char*> agent_routes[] = {
    {"GET", "/agent/state"},         {"POST", "/agent/settings"},    {"POST", "/agent/undo"},
    {"POST", "/agent/upload"},       {"GET", "/agent/chats"},        {"POST", "/agent/chat"},
    {"POST", "/agent/chat_delete"},  {"POST", "/agent/extract"},     {"GET", "/agent/files"},
    {"GET", "/agent/file"},          {"POST", "/agent/pick_folder"}, {"POST", "/agent/llm"},
    {"GET", "/agent/llm/models"},    {"GET", "/agent/market"},       {"GET", "/agent/skill_market"},
    {"POST", "/agent/connector"},    {"POST", "/agent/skill"},       {"POST", "/agent/tool"},
};

// What the built routes among them answer to the guard test's request (body "{}") once it is let through.
const std::map<std::string, std::pair<int, std::string>> built_route_answers = {
    {"/agent/chats", {200, R"({"chats":[]})"}},
    {"/agent/settings", {200, R"({"ok":true})"}},
    {"/agent/chat", {400, R"({"error":"bad chat id"})"}},
    {"/agent/chat_delete", {400, R"({"error":"bad chat id"})"}},
    {"/agent/connector", {400, R"({"error":"unknown action"})"}},
    {"/agent/skill", {400, R"({"error":"unknown action"})"}},
    {"/agent/undo", {400, R"({"error":"[json.exception.out_of_range.403] key 'undo_id' not found"})"}},
    {"/agent/upload", {200, R"({"bytes":2,"path":"uploads/file"})"}},
    {"/agent/extract", {200, R"({"kind":"text","name":"file","text":"{}"})"}},
    {"/agent/pick_folder", {200, R"({"cancelled":true})"}},
};

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

}  // namespace

TEST(AgentServe, PagesCarryTheTokenOnlyUnderTheRightHost) {
    agent_user user;
    serve_process server(user.options());
    const std::string host = "127.0.0.1:" + std::to_string(server.port());

    const answer simple = request(server, "GET", "/simple");
    EXPECT_EQ(simple.status, 200);
    EXPECT_EQ(simple.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(simple.header("Cache-Control"), "no-store");
    const std::string token = page_token(simple.body);
    ASSERT_EQ(token.size(), 32u) << simple.body;
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;

    answer root = request(server, "GET", "/");  // no index.html yet: the built-in page
    EXPECT_EQ(root.status, 200);
    EXPECT_EQ(page_token(root.body), token);
    EXPECT_EQ(root.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(root.header("Cache-Control"), "");

    // A name that resolves to this machine (DNS rebinding), or the address without the port, gets no token.
    for (const std::string& other : {"rebound.example:" + std::to_string(server.port()), std::string("127.0.0.1"),
                                     "LOCALHOST:" + std::to_string(server.port())}) {
        EXPECT_EQ(page_token(request(server, "GET", "/simple", {{"Host", other}}).body), "") << other;
        EXPECT_EQ(page_token(request(server, "GET", "/", {{"Host", other}}).body), "") << other;
    }
    EXPECT_EQ(page_token(request(server, "GET", "/", {{"Host", "localhost:" + std::to_string(server.port())}}).body),
              token);

    write_text(user.ui / "index.html", "<p>{{MIVRA_TOKEN}}</p><i>{{MIVRA_TOKEN}}</i>");
    root = request(server, "GET", "/");
    EXPECT_EQ(root.body, "<p>" + token + "</p><i>" + token + "</i>");
    EXPECT_EQ(root.header("Cache-Control"), "no-store");
    EXPECT_EQ(root.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(request(server, "GET", "/", {{"Host", "rebound.example:1"}}).body, "<p></p><i></i>");
    EXPECT_EQ(page_token(request(server, "GET", "/simple").body), token);  // /simple is always the built-in page
}

TEST(AgentServe, TheGuardChecksHostOriginAndTokenOnEveryAgentRoute) {
    agent_user user;
    serve_process server(user.options());
    const std::string port = std::to_string(server.port());
    const std::string token = page_token(request(server, "GET", "/simple").body);

    for (const auto& [method, path] : agent_routes) {
        answer a = request(server, method, path);
        EXPECT_EQ(a.status, 403) << method << " " << path;
        EXPECT_EQ(a.body, not_allowed.dump()) << path;
        EXPECT_EQ(a.header("Content-Type"), "application/json") << path;
        a = request(server, method, path, {{"X-Mivra-Token", token}});
        if (std::string(path) == "/agent/tool") {  // let through: the body {} names no tool
            EXPECT_EQ(a.status, 200);
            EXPECT_EQ(json::parse(a.body).value("status", ""), "error") << a.body;
            continue;
        }
        if (std::string(path) == "/agent/state") {
            EXPECT_EQ(a.status, 200);
            EXPECT_EQ(json::parse(a.body).value("version", ""), "0.1") << a.body;
            continue;
        }
        if (std::string(path).starts_with("/agent/llm")) {
            // let through to the relay, which has no provider address in these settings
            EXPECT_NE(a.body.find("address"), std::string::npos) << path << ": " << a.body;
            continue;
        }
        if (std::string(path) == "/agent/market") {  // the built-in connector catalog
            EXPECT_EQ(a.status, 200);
            EXPECT_EQ(json::parse(a.body)["connectors"].size(), 21u) << a.body;
            continue;
        }
        if (std::string(path) == "/agent/files" || std::string(path) == "/agent/file") {
            // let through to the project file routes, whose answers name the user's project folder
            EXPECT_NE(a.status, 403) << path;
            EXPECT_NE(a.body.find("Mivra Projects"), std::string::npos) << path << ": " << a.body;
            continue;
        }
        if (std::string(path) == "/agent/skill_market") {
            // let through to the market, whose GitHub is a closed port in these tests
            EXPECT_EQ(a.status, 400) << a.body;
            EXPECT_TRUE(a.body.starts_with(R"({"error":"GitHub: )")) << a.body;
            continue;
        }
        const auto built = built_route_answers.find(path);
        if (built != built_route_answers.end()) {
            EXPECT_EQ(a.status, built->second.first) << method << " " << path;  // let through to its handler
            EXPECT_EQ(a.body, built->second.second) << path;
            continue;
        }
        EXPECT_EQ(a.status, 404) << method << " " << path;  // let through; not built yet
        EXPECT_EQ(a.body, "") << path;
    }
    // The other method of a route is a route the server does not know: no guard, 404.
    EXPECT_EQ(request(server, "GET", "/agent/tool").status, 404);

    struct guard_case {
        httplib::Headers headers;
        bool passes;
    };
    std::string wrong_token = token;
    wrong_token.back() = wrong_token.back() == '0' ? '1' : '0';
    std::string upper_token = token;
    for (char& c : upper_token) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const guard_case cases[] = {
        {{{"X-Mivra-Token", token}}, true},
        {{{"X-Mivra-Token", token}, {"Host", "localhost:" + port}}, true},
        {{{"X-Mivra-Token", token}, {"Origin", "http://localhost:" + port}}, true},
        {{{"X-Mivra-Token", token}, {"Origin", "http://127.0.0.1:" + port}}, true},
        {{{"X-Mivra-Token", token}, {"Host", "127.0.0.1"}}, false},
        {{{"X-Mivra-Token", token}, {"Host", "localhost"}}, false},
        {{{"X-Mivra-Token", token}, {"Host", "LOCALHOST:" + port}}, false},
        {{{"X-Mivra-Token", token}, {"Host", "rebound.example:" + port}}, false},
        {{{"X-Mivra-Token", token}, {"Host", "[::1]:" + port}}, false},
        {{{"X-Mivra-Token", token}, {"Origin", "null"}}, false},
        {{{"X-Mivra-Token", token}, {"Origin", "http://127.0.0.1:3000"}}, false},
        {{{"X-Mivra-Token", token}, {"Origin", "https://127.0.0.1:" + port}}, false},
        {{{"X-Mivra-Token", token}, {"Origin", "http://127.0.0.1:" + port + "/"}}, false},
        {{{"X-Mivra-Token", wrong_token}}, false},
        {{{"X-Mivra-Token", upper_token}}, false},
        {{{"X-Mivra-Token", token + "0"}}, false},
        {{{"X-Mivra-Token", ""}}, false},
    };
    for (const guard_case& c : cases) {
        const answer a = request(server, "GET", "/agent/state", c.headers);
        std::string shown;
        for (const auto& [name, value] : c.headers) shown += name + ": " + value + "; ";
        EXPECT_EQ(a.status, c.passes ? 200 : 403) << shown;
        if (!c.passes) EXPECT_EQ(a.body, not_allowed.dump()) << shown;
    }
    // Without any Host header (HTTP/1.0 style) the request is refused too.
    const answer no_host = curl(server, "/agent/state", {"-H", "Host:", "-H", "X-Mivra-Token: " + token});
    EXPECT_EQ(no_host.status, 403);
    EXPECT_EQ(no_host.body, not_allowed.dump());
    // An empty Origin header counts as none.
    EXPECT_EQ(curl(server, "/agent/state", {"-H", "Origin;", "-H", "X-Mivra-Token: " + token}).status, 200);
}

TEST(AgentServe, AnyOtherBindAddressRefusesTheAgentRoutesAndHidesTheToken) {
    agent_user user;
    write_text(user.ui / "index.html", "agent page {{MIVRA_TOKEN}}");
    write_text(user.workspace / "a.txt", "a");
    user.seed_settings({{"workspace", user.workspace.string()}});
    serve_process server(user.options({"--host", "0.0.0.0"}));

    const answer root = request(server, "GET", "/");
    EXPECT_EQ(page_token(root.body), "");  // the built-in page, never the agent page
    EXPECT_EQ(root.header("Cache-Control"), "");
    EXPECT_EQ(page_token(request(server, "GET", "/simple").body), "");
    // Whatever the client sends, even the right Host and a token guessed from nowhere.
    for (const auto& [method, path] : agent_routes) {
        const answer a = request(server, method, path, {{"X-Mivra-Token", ""}});
        EXPECT_EQ(a.status, 403) << path;
        EXPECT_EQ(a.body, only_local.dump()) << path;
    }
    const answer preview = request(server, "GET", "/preview/a.txt");
    EXPECT_EQ(preview.status, 403);
    EXPECT_EQ(preview.body, only_local.dump());
    EXPECT_EQ(request(server, "GET", "/health").status, 200);
}

TEST(AgentServe, FilesNeverLeaveTheUiAndProjectFolders) {
    agent_user user;
    write_text(user.ui / "index.html", "ui index");
    write_text(user.ui / "logo.PNG", "png");
    write_text(user.ui / "data.bin", "bin");
    fs::create_directories(user.dir / "outside");
    write_text(user.dir / "outside" / "secret.txt", "secret");
    fs::create_symlink(user.dir / "outside" / "secret.txt", user.ui / "out.txt");
    fs::create_symlink(user.dir / "outside", user.ui / "out");
    fs::create_directories(user.workspace / "site");
    write_text(user.workspace / "site" / "index.html", "<p>site</p>");
    write_text(user.workspace / "app.js", "console.log(1)");
    user.seed_settings({{"workspace", user.workspace.string()}, {"zzz", "kept"}});
    serve_process server(user.options());

    answer a = request(server, "GET", "/ui/logo.PNG");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "png");
    EXPECT_EQ(a.header("Content-Type"), "image/png");
    EXPECT_EQ(a.header("Cache-Control"), "no-cache");
    EXPECT_EQ(request(server, "GET", "/ui/data.bin").header("Content-Type"), "application/octet-stream");
    a = request(server, "GET", "/ui/missing.css");
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(a.body, "not found");
    EXPECT_EQ(request(server, "GET", "/ui/").status, 404);  // /ui/ needs a name: an unknown route

    const std::string escapes[] = {
        "/ui/../conf/settings.json",
        "/ui/..%2Fconf%2Fsettings.json",
        "/ui/%2E%2E/conf/settings.json",
        "/ui//etc/passwd",
        "/ui/%2Fetc%2Fpasswd",
        "/ui/" + (user.dir / "outside" / "secret.txt").string(),
        "/ui/index.html%00.txt",
        "/ui/%00",
        "/ui/out.txt",
        "/ui/out/secret.txt",
        "/preview/",
        "/preview/..",
        "/preview/../conf/settings.json",
        "/preview/site/../../outside/secret.txt",
        "/preview//etc/passwd",
        "/preview/app.js%00",
    };
    for (const std::string& path : escapes) {
        a = curl(server, path);
        EXPECT_EQ(a.status, 404) << path;
        EXPECT_EQ(a.body, "") << path;
    }

    // Previews need no token but the right Host, and always come sandboxed.
    a = request(server, "GET", "/preview/app.js");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, "console.log(1)");
    EXPECT_EQ(a.header("Content-Type"), "text/javascript; charset=utf-8");
    const std::string policy = "sandbox allow-scripts allow-forms allow-popups allow-modals allow-downloads";
    EXPECT_EQ(a.header("Content-Security-Policy"), policy);
    EXPECT_EQ(a.header("X-Content-Type-Options"), "nosniff");
    a = request(server, "GET", "/preview/site/");
    EXPECT_EQ(a.body, "<p>site</p>");
    EXPECT_EQ(a.header("Content-Security-Policy"), policy);
    a = request(server, "GET", "/preview/nothing.html");
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(a.body, "not found");
    EXPECT_EQ(a.header("Content-Security-Policy"), policy);
    EXPECT_EQ(request(server, "GET", "/preview/app.js", {{"Sec-Fetch-Site", "same-origin"}}).status, 200);
    for (const httplib::Headers& refused :
         {httplib::Headers{{"Host", "127.0.0.1"}}, httplib::Headers{{"Origin", "null"}},
          httplib::Headers{{"Sec-Fetch-Site", "cross-site"}}}) {
        a = request(server, "GET", "/preview/app.js", refused);
        EXPECT_EQ(a.status, 403) << refused.begin()->first;
        EXPECT_EQ(a.body, not_allowed.dump());
        EXPECT_EQ(a.header("Content-Security-Policy"), policy);
        EXPECT_EQ(a.header("X-Content-Type-Options"), "nosniff");
    }
}

// The settings file as the server leaves it: a plain secret stored encrypted, unknown keys kept, the exact format,
// private modes; a broken file kept aside; a "workspace" that is not a string stops the start.
TEST(AgentServe, SettingsFileAtStart) {
    {
        agent_user user;
        write_text(user.settings, R"({"brave_api_key": "typed-by-hand", "mine": {"b": 2, "a": 1}})");
        serve_process server(user.options());
        const std::string text = read_text(user.settings);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '}');
        const json saved = json::parse(text);
        EXPECT_TRUE(saved["brave_api_key"].get<std::string>().starts_with("dpapi:")) << text;
        EXPECT_EQ(text.find("typed-by-hand"), std::string::npos);
        EXPECT_EQ(saved["mine"], json::parse(R"({"a": 1, "b": 2})"));
        EXPECT_EQ(saved["workspace"], (user.dir / "home" / "Documents" / "Mivra Projects").string());
        EXPECT_EQ(text, saved.dump(2));
        EXPECT_EQ(mode_of(user.settings), 0600u);
        EXPECT_EQ(mode_of(user.dir / "data" / "Mivra"), 0700u);
        EXPECT_EQ(mode_of(user.dir / "config" / "mivra" / "secret.key"), 0600u);
        EXPECT_TRUE(fs::is_directory(user.dir / "home" / "Documents" / "Mivra Projects"));
    }
    {
        agent_user user;
        const std::string broken = R"({"mcpServers": {"files": {"command": "npx"}}, "brave_api_key": "k",)";
        write_text(user.settings, broken);
        serve_process server(user.options());
        EXPECT_FALSE(fs::exists(user.settings));
        std::vector<fs::path> aside;
        for (const auto& entry : fs::directory_iterator(user.settings.parent_path())) aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_TRUE(aside[0].filename().string().starts_with("settings.json.bad-")) << aside[0];
        EXPECT_EQ(read_text(aside[0]), broken);
        EXPECT_NE(server.err().find("kept it as " + aside[0].string()), std::string::npos) << server.err();
    }
    {
        agent_user user;
        user.seed_settings({{"workspace", nullptr}});
        try {
            serve_process server(user.options());
            ADD_FAILURE() << "the server started";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("error: [json.exception.type_error.302] type must be string, but is null"),
                      std::string::npos)
                << e.what();
        }
    }
}
