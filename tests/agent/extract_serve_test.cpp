// POST /agent/extract and the read_document tool on a real `mivra serve` whose HOME, XDG folders and settings lie in
// a temporary folder: every kept fixture document posted by name and read by project path, the refusals, names that
// a shell would run, and the tmp folder left with the script alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent_user.h"
#include "document_fixtures.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct extract_server {
    agent_user user;
    fs::path tmp = user.dir / "data" / "Mivra" / "tmp";
    std::unique_ptr<serve_process> server;
    std::string token;

    extract_server() {
        user.seed_settings({{"workspace", user.workspace.string()}});
        server = std::make_unique<serve_process>(user.options());
        token = page_token(server->client()->Get("/simple")->body);
    }
    answer post(const std::string& path, const std::string& body, bool with_token = true) const {
        httplib::Client client("127.0.0.1", server->port());
        client.set_read_timeout(std::chrono::seconds(300));
        httplib::Headers headers;
        if (with_token) headers.emplace("X-Mivra-Token", token);
        auto res = client.Post(path, headers, body, "application/octet-stream");
        if (!res) throw std::runtime_error("no answer to POST " + path + ": " + httplib::to_string(res.error()));
        return {res->status, res->body, res->headers};
    }
    json extract(const std::string& query, const std::string& body = "") const {
        const answer a = post("/agent/extract?" + query, body);
        EXPECT_EQ(a.status, 200) << query << ": " << a.body;
        EXPECT_EQ(a.header("Content-Type"), "application/json");
        return json::parse(a.body);
    }
    std::string error(const std::string& query, const std::string& body = "") const {
        const answer a = post("/agent/extract?" + query, body);
        EXPECT_EQ(a.status, 400) << query << ": " << a.body;
        return json::parse(a.body).value("error", "<no error>");
    }
    std::set<std::string> tmp_names() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp)) names.insert(entry.path().filename().string());
        return names;
    }
};

std::string query_encoded(const std::string& text) { return httplib::encode_uri_component(text); }

}  // namespace

TEST(ExtractServe, EveryFixturePostedAndByPath) {
    extract_server s;
    fs::create_directories(s.user.workspace / "docs");
    for (const fixture_case& c : fixture_cases) {
        SCOPED_TRACE(c.file);
        expect_fixture_result(c, s.extract("name=" + std::string(c.file), read_text(documents / c.file)), {"name"});
        fs::copy_file(documents / c.file, s.user.workspace / "docs" / c.file);
        const json by_path = s.extract("path=" + query_encoded("docs/" + std::string(c.file)));
        expect_fixture_result(c, by_path, {"name"});
        EXPECT_EQ(by_path["name"], c.file);
    }
    EXPECT_EQ(s.tmp_names(), std::set<std::string>{"extract.py"});
}

TEST(ExtractServe, RefusalsNamesAndPaging) {
    extract_server s;
    const fs::path root = s.user.workspace;
    const std::string old_text =
        "old Office format (.doc): open it in Word / Excel / PowerPoint and save it as .docx / .xlsx / .pptx";
    EXPECT_EQ(s.error("name=x.doc", read_text(documents / "old.doc")), old_text);
    EXPECT_EQ(s.error("name=bytes.bin", std::string("ab\0cd", 5)), "this is a binary file Mivra can't turn into text");
    EXPECT_EQ(s.error("path=" + query_encoded("../elsewhere.txt")), "outside the project folder");
    EXPECT_EQ(s.error("path=none.txt"), "no such file: " + (root / "none.txt").string());
    EXPECT_EQ(s.post("/agent/extract?name=a.txt", "words", false).status, 403);
    // "path" wins over "name", and the body is ignored then.
    write_text(root / "plain.txt", "from the project");
    EXPECT_EQ(s.extract("path=plain.txt&name=other.txt", "from the body"),
              (json{{"kind", "text"}, {"text", "from the project"}, {"name", "plain.txt"}}));
    EXPECT_EQ(s.extract("name=..", "dots")["name"], "file");
    EXPECT_EQ(s.extract("name=" + query_encoded("a/b:c.pdf"), read_text(documents / "report.pdf"))["name"],
              "a_b_c.pdf");

    // Names that a shell or a script's source text would run are only names here.
    for (const std::string name : {"it\u2019s \u2018quoted\u2019.png", "$(touch pwned).png"}) {
        SCOPED_TRACE(name);
        fs::copy_file(documents / "words.png", root / name);
        EXPECT_EQ(s.extract("path=" + query_encoded(name))["text"], "Hello from the picture");
        EXPECT_EQ(s.extract("name=" + query_encoded(name), read_text(documents / "words.png"))["name"], name);
    }
    for (const fs::path& where : std::vector<fs::path>{root, s.tmp, s.user.dir.path, fs::current_path()}) {
        EXPECT_FALSE(fs::exists(where / "pwned")) << where;
    }
    EXPECT_EQ(s.tmp_names(), std::set<std::string>{"extract.py"});

    // read_document pages through a text of 45000 bytes.
    write_text(root / "long.txt", std::string(45000, 'L'));
    auto read_document = [&](int offset) {
        const answer a = s.post("/agent/tool", json{{"name", "read_document"},
                                                    {"arguments", {{"path", "long.txt"}, {"offset", offset}}}}.dump());
        EXPECT_EQ(a.status, 200) << a.body;
        return json::parse(a.body)["result"];
    };
    const json last = read_document(40000);
    EXPECT_EQ(last["text"], std::string(5000, 'L'));
    EXPECT_EQ(last["total_characters"], 45000);
    EXPECT_FALSE(last.contains("more"));
    EXPECT_EQ(read_document(0)["more"], "read again with offset 20000");
    EXPECT_EQ(read_document(45000), "error: offset is past the end (45000 characters)");
}
