// Undo, uploads, the project file routes and the folder picker on a real `mivra serve` whose HOME, XDG folders and
// settings lie in a temporary folder: writes and undos through POST /agent/tool and /agent/undo, planted links that
// lead out of the project, clash names and concurrent uploads, the file and file-list routes, and the picker without
// a display and with a stub zenity first on PATH.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent_user.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A server with its workspace at user.workspace and a folder beside it that lies outside the project.
struct project_server {
    agent_user user;
    fs::path outside = user.dir / "outside";
    std::unique_ptr<serve_process> server;
    std::string token;

    explicit project_server(const std::map<std::string, std::string>& env = {},
                            const std::vector<std::string>& unset_env = {}) {
        fs::create_directories(outside);
        user.seed_settings({{"workspace", user.workspace.string()}});
        serve_options options = user.options();
        for (const auto& [name, value] : env) options.env[name] = value;
        options.unset_env = unset_env;
        server = std::make_unique<serve_process>(options);
        token = page_token(server->client()->Get("/simple")->body);
    }
    answer post(const std::string& path, const std::string& body, bool with_token = true) const {
        httplib::Client client("127.0.0.1", server->port());
        client.set_read_timeout(std::chrono::seconds(60));
        httplib::Headers headers;
        if (with_token) headers.emplace("X-Mivra-Token", token);
        auto res = client.Post(path, headers, body, "application/octet-stream");
        if (!res) throw std::runtime_error("no answer to POST " + path + ": " + httplib::to_string(res.error()));
        return {res->status, res->body, res->headers};
    }
    answer get(const std::string& path) const {
        httplib::Client client("127.0.0.1", server->port());
        client.set_read_timeout(std::chrono::seconds(60));
        auto res = client.Get(path, httplib::Headers{{"X-Mivra-Token", token}});
        if (!res) throw std::runtime_error("no answer to GET " + path + ": " + httplib::to_string(res.error()));
        return {res->status, res->body, res->headers};
    }
    // The "result" of a tool call that the user approved ("error: ..." text for a failed one).
    json tool(const std::string& name, const json& arguments) const {
        const answer a =
            post("/agent/tool", json{{"name", name}, {"arguments", arguments}, {"approved", true}}.dump());
        EXPECT_EQ(a.status, 200) << a.body;
        return json::parse(a.body)["result"];
    }
    answer undo(const std::string& id) const { return post("/agent/undo", json{{"undo_id", id}}.dump()); }
    answer upload(const std::string& query, const std::string& body) const {
        return post("/agent/upload?" + query, body);
    }
};

// One server for the tests that need no environment of their own.
project_server& shared_server() {
    static project_server server;  // stopped at exit
    return server;
}

std::string path_of(const answer& a) { return json::parse(a.body).value("path", "<no path>"); }

std::string error_of(const answer& a) {
    EXPECT_EQ(a.status, 400) << a.body;
    return json::parse(a.body).value("error", "<no error>");
}

}  // namespace

TEST(ProjectFilesServe, WritesAndUndos) {
    const project_server& s = shared_server();
    const fs::path file = s.user.workspace / "undo" / "made.txt";
    json result = s.tool("write_file", {{"path", "undo/made.txt"}, {"content", "made\n"}});
    ASSERT_TRUE(result.contains("undo_id")) << result.dump();
    answer a = s.undo(result["undo_id"]);
    ASSERT_EQ(a.status, 200) << a.body;
    const json reply = json::parse(a.body);
    EXPECT_EQ(reply["ok"], true);
    EXPECT_EQ(reply["path"], file.string());
    EXPECT_EQ(reply["restored"], false);
    EXPECT_FALSE(fs::exists(file));

    // Edit, edit, undo, undo: the original bytes are back.
    const std::string tail("\0\xff\xfe", 3);  // bytes that are no text survive too
    const std::string original = "line one\r\nline two\n" + tail;
    const std::string edited = "line 1\r\nline 2\n" + tail;
    write_text(s.user.workspace / "undo" / "edited.txt", original);
    const std::string first = s.tool("edit_file", {{"path", "undo/edited.txt"}, {"old_text", "one"},
                                                   {"new_text", "1"}})["undo_id"];
    const std::string second = s.tool("edit_file", {{"path", "undo/edited.txt"}, {"old_text", "two"},
                                                    {"new_text", "2"}})["undo_id"];
    EXPECT_EQ(read_text(s.user.workspace / "undo" / "edited.txt"), edited);
    EXPECT_EQ(s.undo(second).status, 200);
    a = s.undo(first);
    EXPECT_EQ(json::parse(a.body)["restored"], true);
    EXPECT_EQ(read_text(s.user.workspace / "undo" / "edited.txt"), original);
    // The undo itself can be undone: back to what the file held just before it.
    EXPECT_EQ(s.undo(json::parse(a.body)["undo_id"]).status, 200);
    EXPECT_EQ(read_text(s.user.workspace / "undo" / "edited.txt"), "line 1\r\nline two\n" + tail);

    write_text(s.user.workspace / "undo" / "a.txt", "aaa");
    EXPECT_EQ(s.tool("edit_file", {{"path", "undo/a.txt"}, {"old_text", "aa"}, {"new_text", "b"}}),
              "error: old_text appears more than once; include more surrounding lines");

    EXPECT_EQ(s.undo("zz").body, R"({"error":"bad undo id"})");
    EXPECT_EQ(s.undo("zz").status, 400);
    EXPECT_EQ(error_of(s.post("/agent/undo", "{}")).find("undo_id") != std::string::npos, true);
    EXPECT_EQ(error_of(s.undo("00000000000000ff")),
              "cannot read " + (s.user.dir / "data" / "Mivra" / "backups" / "00000000000000ff.json").string());
    EXPECT_EQ(s.post("/agent/undo", json{{"undo_id", first}}.dump(), false).status, 403);
}

TEST(ProjectFilesServe, APlantedLinkLeadsNothingOutOfTheProject) {
    const project_server& s = shared_server();
    const fs::path uploads = s.user.workspace / "linked" / "uploads";
    fs::create_directories(uploads);
    fs::create_symlink(s.outside / "planted", uploads / "x");
    EXPECT_EQ(s.tool("write_file", {{"path", "linked/uploads/x"}, {"content", "boo"}}),
              "error: cannot write " + (uploads / "x").string());
    // An upload of that name takes the next free name instead.
    EXPECT_EQ(path_of(s.upload("name=x&dir=linked/uploads", "data")), "linked/uploads/x (2)");
    EXPECT_FALSE(fs::exists(s.outside / "planted"));
    EXPECT_TRUE(fs::is_empty(s.outside));
}

TEST(ProjectFilesServe, UploadsTakeFreeNamesInsideTheProject) {
    const project_server& s = shared_server();
    const fs::path root = s.user.workspace;
    for (const char* expected : {"uploads/report.pdf", "uploads/report (2).pdf", "uploads/report (3).pdf"}) {
        const answer a = s.upload("name=report.pdf", "%PDF-1.4");
        ASSERT_EQ(a.status, 200) << a.body;
        EXPECT_EQ(a.body, json({{"path", expected}, {"bytes", 8}}).dump());
        EXPECT_EQ(a.header("Content-Type"), "application/json");
        EXPECT_EQ(read_text(root / expected), "%PDF-1.4");
    }
    const std::pair<std::string, std::string> cases[] = {
        {"name=archive.tar.gz", "uploads/archive.tar.gz"}, {"name=archive.tar.gz", "uploads/archive.tar (2).gz"},
        {"name=.env", "uploads/.env"},                       {"name=.env", "uploads/.env (2)"},
        {"name=a%2Fb%3Ac.txt", "uploads/a_b_c.txt"},         {"name=..", "uploads/file"},
        {"name=", "uploads/file (2)"},                       {"name=new.txt&dir=docs/new", "docs/new/new.txt"},
        {"name=top.txt&dir=", "top.txt"},                    {"name=abs.txt&dir=" + root.string() + "/docs", "docs/abs.txt"},
    };
    for (const auto& [query, expected] : cases) EXPECT_EQ(path_of(s.upload(query, "x")), expected) << query;
    struct stat st {};
    ASSERT_EQ(::stat((root / "docs" / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    EXPECT_EQ(s.upload("name=empty.txt", "").body, R"({"bytes":0,"path":"uploads/empty.txt"})");
    EXPECT_EQ(error_of(s.upload("name=x&dir=../x", "x")), "uploads go inside the project folder");
    EXPECT_EQ(error_of(s.upload("name=x&dir=" + s.outside.string(), "x")), "uploads go inside the project folder");
    EXPECT_TRUE(fs::is_empty(s.outside));

    // Twenty uploads of one name at once: twenty files, each whole.
    std::vector<std::thread> threads;
    std::vector<std::string> paths(20);
    for (int i = 0; i < 20; ++i) {
        threads.emplace_back([&, i] { paths[i] = path_of(s.upload("name=same.bin&dir=race", std::string(100000, char('a' + i)))); });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 20u);
    std::set<char> contents;
    for (const std::string& p : paths) {
        const std::string data = read_text(root / p);
        ASSERT_EQ(data.size(), 100000u) << p;
        EXPECT_EQ(data, std::string(100000, data[0])) << p;
        contents.insert(data[0]);
    }
    EXPECT_EQ(contents.size(), 20u);
}

TEST(ProjectFilesServe, OneFileAndTheFileList) {
    const project_server& s = shared_server();
    const fs::path root = s.user.workspace / "listing";
    fs::create_directories(root / "src");
    write_text(root / "src" / "main.cpp", "int main() {}\n");
    write_text(root / "big.txt", std::string(1000000, 'b'));
    write_text(root / "picture.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));

    answer a = s.get("/agent/file?path=listing/src/../src/main.cpp");
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(a.body, R"({"content":"int main() {}\n","path":"listing/src/../src/main.cpp"})");
    EXPECT_EQ(json::parse(s.get("/agent/file?path=listing/big.txt").body)["content"].get<std::string>().size(), 600000u);
    EXPECT_EQ(error_of(s.get("/agent/file?path=listing/picture.png")), "binary file");
    EXPECT_EQ(error_of(s.get("/agent/file?path=../outside/x")), "outside the project folder");
    EXPECT_EQ(error_of(s.get("/agent/file?path=listing/none.txt")), "cannot read " + (root / "none.txt").string());

    // A project of its own for the list: node_modules and .git never entered, 3000 files at most.
    project_server p;
    fs::create_directories(p.user.workspace / "node_modules" / "left-pad");
    write_text(p.user.workspace / "node_modules" / "left-pad" / "index.js", "module.exports = 1;\n");
    fs::create_directories(p.user.workspace / ".git");
    write_text(p.user.workspace / ".git" / "HEAD", "ref\n");
    write_text(p.user.workspace / "readme.md", "12345");
    a = p.get("/agent/files");
    ASSERT_EQ(a.status, 200) << a.body;
    EXPECT_EQ(a.body, json({{"root", p.user.workspace.string()}, {"files", json::array({json::array({"readme.md", 5})})}}).dump());

    fs::create_directories(p.user.workspace / "many");
    for (int i = 0; i < 3100; ++i) write_text(p.user.workspace / "many" / ("f" + std::to_string(i)), "");
    const json files = json::parse(p.get("/agent/files").body)["files"];
    EXPECT_EQ(files.size(), 3000u);
    for (const json& f : files) EXPECT_EQ(f[0].get<std::string>().rfind("node_modules", 0), std::string::npos);
}

TEST(ProjectFilesServe, ThePickerWithoutADisplayAndWithAStubZenity) {
    {
        project_server s({}, {"DISPLAY", "WAYLAND_DISPLAY"});
        const answer a = s.post("/agent/pick_folder", "");
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(a.body, R"({"cancelled":true})");
        EXPECT_EQ(s.post("/agent/pick_folder", "", false).status, 403);
    }
    temp_folder bin;
    const fs::path zenity = bin / "zenity";
    const fs::path args = bin / "args.txt";
    write_text(zenity, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args.string() +
                           "'\n[ -n \"$ZENITY_FAIL\" ] && exit 1\necho '/home/someone/My Project'\n");
    fs::permissions(zenity, fs::perms::owner_all);
    const std::string path = bin.path.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    {
        project_server s({{"PATH", path}, {"DISPLAY", ":99"}}, {"WAYLAND_DISPLAY"});
        EXPECT_EQ(s.post("/agent/pick_folder", "").body, R"({"path":"/home/someone/My Project"})");
        EXPECT_EQ(read_text(args), "--file-selection\n--directory\n--title=Mivra: choose the project folder\n");
    }
    {
        project_server s({{"PATH", path}, {"WAYLAND_DISPLAY", "wayland-0"}, {"ZENITY_FAIL", "1"}}, {"DISPLAY"});
        EXPECT_EQ(s.post("/agent/pick_folder", "").body, R"({"cancelled":true})");
    }
}
