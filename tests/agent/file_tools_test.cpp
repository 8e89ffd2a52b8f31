// The read-only project file tools (list_dir, search_files, read_file, preview_url) and the executor's dispatch and
// argument rules, called in-process on a real folder tree with this thread's project_override set.
#include "agent/file_tools.h"

#include <gtest/gtest.h>

#include <chrono>

#include "agent/tool_executor.h"
#include "project_tree.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The text of the exception that running `name` with `arguments` throws ("" when it throws none).
std::string failure_of(const std::string& name, const json& arguments) {
    try {
        execute_agent_tool(name, arguments);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

std::vector<std::string> lines_of(const json& entries) { return entries.get<std::vector<std::string>>(); }

std::string numbered(int from, int to) {
    std::string out;
    for (int n = from; n <= to; ++n) out += std::to_string(n) + "\tline " + std::to_string(n) + "\n";
    return out;
}

std::string lines_file(int count) {
    std::string text;
    for (int n = 1; n <= count; ++n) text += "line " + std::to_string(n) + "\n";
    return text;
}

}  // namespace

TEST(ListDir, FoldersFirstByteOrderAndTheLineFormats) {
    project_tree project;
    project.file("b.txt", "abc");
    project.file("B.md", "12345");
    project.file("A/inner.txt", "xy");
    project.file("A/Deeper/deepest.txt", "z");
    project.file(".git/config", "never opened");
    project.file("node_modules/pkg/index.js");
    project.file("with blank.txt", "");
    project.file("a/x", "1");
    const json result = execute_agent_tool("list_dir", {{"path", "."}, {"depth", 2}});
    EXPECT_EQ(result["path"], project.root.string());
    EXPECT_EQ(lines_of(result["entries"]), (std::vector<std::string>{
                                               ".git/  (not listed)",
                                               "A/",
                                               "  Deeper/",
                                               "  inner.txt  (2 bytes)",
                                               "a/",
                                               "  x  (1 bytes)",
                                               "node_modules/  (not listed)",
                                               "B.md  (5 bytes)",
                                               "b.txt  (3 bytes)",
                                               "with blank.txt  (0 bytes)",
                                           }));
    // Without arguments: the project folder, one level.
    EXPECT_EQ(execute_agent_tool("list_dir", json::object())["entries"].size(), 7u);
    // A skipped folder named as the path is listed; only folders met inside are checked.
    EXPECT_EQ(lines_of(execute_agent_tool("list_dir", {{"path", ".git"}})["entries"]),
              (std::vector<std::string>{"config  (12 bytes)"}));
}

TEST(ListDir, DepthIsClampedToOneToFour) {
    project_tree project;
    project.file("1/2/3/4/5/f.txt", "f");
    const std::pair<json, size_t> cases[] = {{0, 1}, {-7, 1}, {1, 1}, {2, 2}, {4, 4}, {9, 4}, {1e300, 4}};
    for (const auto& [depth, lines] : cases) {
        EXPECT_EQ(execute_agent_tool("list_dir", {{"depth", depth}})["entries"].size(), lines) << depth;
    }
    EXPECT_EQ(lines_of(execute_agent_tool("list_dir", {{"depth", 9}})["entries"]),
              (std::vector<std::string>{"1/", "  2/", "    3/", "      4/"}));
}

TEST(ListDir, FourHundredLinesThenTheNote) {
    project_tree project;
    for (int i = 0; i < 1000; ++i) project.file("many/f" + std::to_string(1000 + i));
    json entries = execute_agent_tool("list_dir", {{"path", "many"}})["entries"];
    ASSERT_EQ(entries.size(), 401u);
    EXPECT_EQ(entries[0], "f1000  (0 bytes)");
    EXPECT_EQ(entries[399], "f1399  (0 bytes)");
    EXPECT_EQ(entries[400], "... more entries not shown");

    // The count runs across folders, and the note comes once.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 150; ++j) project.file("tree/d" + std::to_string(i) + "/f" + std::to_string(100 + j));
    }
    entries = execute_agent_tool("list_dir", {{"path", "tree"}, {"depth", 2}})["entries"];
    ASSERT_EQ(entries.size(), 401u);
    EXPECT_EQ(entries[302], "d2/");
    EXPECT_EQ(entries[399], "  f196  (0 bytes)");
    EXPECT_EQ(entries[400], "... more entries not shown");
}

TEST(ListDir, LinksLeavingTheProjectAreShownNotEntered) {
    project_tree project;
    write_text(project.outside / "secret.txt", "top secret");
    fs::create_directory_symlink(project.outside, project.root / "out");
    fs::create_symlink(project.outside / "secret.txt", project.root / "secret-link");
    project.file("lib/a.txt", "a");
    fs::create_directory_symlink(project.root / "lib", project.root / "lib-link");
    EXPECT_EQ(lines_of(execute_agent_tool("list_dir", {{"depth", 4}})["entries"]),
              (std::vector<std::string>{"lib/", "  a.txt  (1 bytes)", "lib-link/", "  a.txt  (1 bytes)",
                                        "out/  (not listed)", "secret-link  (10 bytes)"}));
    // Listed by its own path (the user approved the folder outside), the link's folder is listed.
    EXPECT_EQ(lines_of(execute_agent_tool("list_dir", {{"path", "out"}})["entries"]),
              (std::vector<std::string>{"secret.txt  (10 bytes)"}));
}

TEST(ListDir, AFileOrAMissingFolderFails) {
    project_tree project;
    project.file("f.txt", "x");
    EXPECT_NE(failure_of("list_dir", {{"path", "f.txt"}}), "");
    EXPECT_NE(failure_of("list_dir", {{"path", "missing"}}), "");
}

TEST(SearchFiles, PlainTextIgnoresCaseAndGlobsPickFiles) {
    project_tree project;
    project.file("README.md", "Hello World\nnothing\nhello again\n");
    project.file("docs/guide.md", "say HELLO\r\n");
    project.file("src/app.js", "// hello from js\n");
    project.file("src/lib/util.js", "hello util");
    project.file(".git/HEAD", "hello git");
    json result = execute_agent_tool("search_files", {{"query", "hello"}, {"glob", "*.md"}});
    std::vector<std::string> matches = lines_of(result["matches"]);
    std::sort(matches.begin(), matches.end());
    EXPECT_EQ(matches, (std::vector<std::string>{"README.md:1: Hello World", "README.md:3: hello again",
                                                 "docs/guide.md:1: say HELLO\r"}));
    EXPECT_EQ(result["files_searched"], 2);

    // A glob with a folder matches the relative path, and "*" crosses "/".
    result = execute_agent_tool("search_files", {{"query", "HELLO"}, {"glob", "src/*.js"}});
    matches = lines_of(result["matches"]);
    std::sort(matches.begin(), matches.end());
    EXPECT_EQ(matches, (std::vector<std::string>{"src/app.js:1: // hello from js", "src/lib/util.js:1: hello util"}));

    // "path" narrows the search; relative paths are then relative to it.
    result = execute_agent_tool("search_files", {{"query", "util"}, {"path", "src"}});
    EXPECT_EQ(lines_of(result["matches"]), (std::vector<std::string>{"lib/util.js:1: hello util"}));
    EXPECT_EQ(result["files_searched"], 2);

    // An empty query matches every line; a file as the path searches nothing.
    EXPECT_EQ(execute_agent_tool("search_files", {{"query", ""}, {"glob", "README.md"}})["matches"].size(), 3u);
    result = execute_agent_tool("search_files", {{"query", "hello"}, {"path", "README.md"}});
    EXPECT_EQ(result, (json{{"matches", json::array()}, {"files_searched", 0}}));
}

TEST(SearchFiles, BinaryLargeAndLinkedOutFilesAreSkipped) {
    project_tree project;
    project.file("binary.dat", std::string("needle\0", 7));
    project.file("late-nul.txt", std::string(8000, 'x') + std::string("\0", 1) + "\nneedle");
    project.file("limit.txt", "needle\n" + std::string(1048576 - 7, 'y'));
    project.file("over.txt", "needle\n" + std::string(1048576 - 6, 'y'));
    write_text(project.outside / "outside.txt", "needle");
    fs::create_symlink(project.outside / "outside.txt", project.root / "link.txt");
    fs::create_directory_symlink(project.outside, project.root / "out");
    const json result = execute_agent_tool("search_files", {{"query", "needle"}});
    std::vector<std::string> matches = lines_of(result["matches"]);
    std::sort(matches.begin(), matches.end());
    EXPECT_EQ(matches, (std::vector<std::string>{"late-nul.txt:2: needle", "limit.txt:1: needle"}));
    EXPECT_EQ(result["files_searched"], 2);
}

TEST(SearchFiles, LongLinesAndTheMatchLimit) {
    project_tree project;
    project.file("long.txt", "find " + std::string(495, 'L') + "\n");
    EXPECT_EQ(execute_agent_tool("search_files", {{"query", "find"}})["matches"],
              json::array({"long.txt:1: find " + std::string(195, 'L') + "..."}));

    std::string many;
    for (int i = 0; i < 200; ++i) many += "hit " + std::to_string(i) + "\n";
    project.file("many.txt", many);
    const json result = execute_agent_tool("search_files", {{"query", "hit"}});
    EXPECT_EQ(result["matches"].size(), 150u);
    EXPECT_EQ(result["matches"][149], "many.txt:150: hit 149");
    EXPECT_EQ(result["note"], "stopped at 150 matches; search more narrowly");
    EXPECT_FALSE(result.contains("files_searched"));
}

TEST(SearchFiles, RegexIgnoresCaseAndNeverRunsAway) {
    project_tree project;
    project.file("code.cpp", "int Main() {\n  return 42;\n}\n");
    json result = execute_agent_tool("search_files", {{"query", "^INT\\s+main\\("}, {"regex", true}});
    EXPECT_EQ(result["matches"], json::array({"code.cpp:1: int Main() {"}));
    result = execute_agent_tool("search_files", {{"query", "\\d{2};$"}, {"regex", true}});
    EXPECT_EQ(result["matches"], json::array({"code.cpp:2:   return 42;"}));

    EXPECT_EQ(failure_of("search_files", {{"query", "(a"}, {"regex", true}}), "missing closing parenthesis");
    EXPECT_EQ(failure_of("search_files", {{"query", "(*UTF)a"}, {"regex", true}}).empty(), false);
    EXPECT_NE(failure_of("search_files", {{"query", "x"}, {"regex", "yes"}}).find("type must be boolean"),
              std::string::npos);

    // Exponential backtracking on a line exhausts the match limit: that line is no match, the next one is.
    project.file("trap.txt", std::string(40, 'a') + "!\naa1\n");
    const auto start = std::chrono::steady_clock::now();
    result = execute_agent_tool("search_files", {{"query", "^(a|a)*\\d"}, {"regex", true}, {"glob", "trap.txt"}});
    EXPECT_EQ(result["matches"], json::array({"trap.txt:2: aa1"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    // A 1 MiB line (the largest file searched) with a pattern that std::regex would recurse through once per
    // character: matching it would take a million backtracking points, past the limit, so the line counts as no
    // match; a short line with the same pattern is found.
    project.file("big.txt", std::string(1048575, 'a') + "c");
    project.file("small.txt", "aabac");
    result = execute_agent_tool("search_files", {{"query", "(a|b)*c"}, {"regex", true}, {"glob", "*.txt"}});
    EXPECT_EQ(result["matches"], json::array({"small.txt:1: aabac"}));
}

TEST(ReadFile, OffsetLimitAndTheMoreLinesNote) {
    project_tree project;
    project.file("thousand.txt", lines_file(1000));
    json result = execute_agent_tool("read_file", {{"path", "thousand.txt"}});
    EXPECT_EQ(result["path"], (project.root / "thousand.txt").string());
    EXPECT_EQ(result["content"], numbered(1, 400));
    EXPECT_EQ(result["total_lines"], 1000);
    EXPECT_EQ(result["note"], "more lines after 400; read again with offset");

    result = execute_agent_tool("read_file", {{"path", "thousand.txt"}, {"offset", 950}});
    EXPECT_EQ(result["content"], numbered(950, 1000));
    EXPECT_FALSE(result.contains("note"));
    result = execute_agent_tool("read_file", {{"path", "thousand.txt"}, {"offset", 2000}});
    EXPECT_EQ(result["content"], "");
    EXPECT_FALSE(result.contains("note"));
    result = execute_agent_tool("read_file", {{"path", "thousand.txt"}, {"offset", -5}, {"limit", 0}});
    EXPECT_EQ(result["content"], numbered(1, 1));
    EXPECT_EQ(result["note"], "more lines after 1; read again with offset");
    result = execute_agent_tool("read_file", {{"path", "thousand.txt"}, {"offset", 10}, {"limit", 3}});
    EXPECT_EQ(result["content"], numbered(10, 12));
    EXPECT_EQ(result["note"], "more lines after 12; read again with offset");

    // At most 2000 lines, and the text cut in the middle to 24000 bytes.
    project.file("wide.txt", lines_file(3000));
    result = execute_agent_tool("read_file", {{"path", "wide.txt"}, {"limit", 99999}});
    const std::string whole = numbered(1, 2000);
    const std::string content = result["content"];
    EXPECT_EQ(content.substr(0, 12000), whole.substr(0, 12000));
    EXPECT_EQ(content.substr(content.size() - 12000), whole.substr(whole.size() - 12000));
    EXPECT_NE(content.find("\n[... " + std::to_string(whole.size() - 24000) + " characters cut ...]\n"),
              std::string::npos);
    EXPECT_EQ(result["note"], "more lines after 2000; read again with offset");
}

TEST(ReadFile, LineEndsAndFilesThatCannotBeRead) {
    project_tree project;
    project.file("crlf.txt", "one\r\ntwo\r\nlast");
    const json result = execute_agent_tool("read_file", {{"path", "crlf.txt"}});
    EXPECT_EQ(result["content"], "1\tone\r\n2\ttwo\r\n3\tlast\n");
    EXPECT_EQ(result["total_lines"], 3);
    EXPECT_EQ(execute_agent_tool("read_file", {{"path", project.file("empty.txt").string()}})["total_lines"], 0);

    project.folder("folder");
    EXPECT_EQ(failure_of("read_file", {{"path", "folder"}}), "cannot read " + (project.root / "folder").string());
    EXPECT_EQ(failure_of("read_file", {{"path", "nope.txt"}}), "cannot read " + (project.root / "nope.txt").string());
}

TEST(ReadFile, AFileLargerThanFourMiBSaysSo) {
    project_tree project;
    std::string text;
    int lines = 0;
    while (text.size() <= 4194304 + 1000) text += "row " + std::to_string(++lines) + " " + std::string(90, 'r') + "\n";
    project.file("huge.txt", text);
    json result = execute_agent_tool("read_file", {{"path", "huge.txt"}, {"offset", 40000}, {"limit", 2000}});
    const int64_t total = result["total_lines"];
    EXPECT_LT(total, lines);
    EXPECT_EQ(result["note"], "the file is larger than 4 MiB and read_file reads only its first 4 MiB, which end in "
                              "line " + std::to_string(total));
    result = execute_agent_tool("read_file", {{"path", "huge.txt"}});
    EXPECT_EQ(result["note"], "more lines after 400; read again with offset; the file is larger than 4 MiB and "
                              "read_file reads only its first 4 MiB, which end in line " + std::to_string(total));

    // Exactly 4 MiB is the whole file.
    project.file("exact.txt", std::string(4194303, 'e') + "\n");
    EXPECT_FALSE(execute_agent_tool("read_file", {{"path", "exact.txt"}}).contains("note"));
}

TEST(PreviewUrl, AddressesOfProjectFilesOnly) {
    project_tree project;
    agent_state.port = 8123;
    project.file("site/my page.html", "<p>");
    EXPECT_EQ(execute_agent_tool("preview_url", {{"path", "site/my page.html"}}),
              (json{{"url", "http://127.0.0.1:8123/preview/site/my%20page.html"}}));
    EXPECT_EQ(execute_agent_tool("preview_url", {{"path", "site"}})["url"], "http://127.0.0.1:8123/preview/site");
    EXPECT_EQ(failure_of("preview_url", {{"path", "site/missing.html"}}),
              "no such file: " + (project.root / "site/missing.html").string());
    EXPECT_EQ(failure_of("preview_url", {{"path", "../elsewhere/missing.html"}}),
              "only files inside the project folder can be previewed");
    agent_state.port = 8080;
}

TEST(ToolExecutor, DispatchAndArgumentRules) {
    project_tree project;
    project.file("a.txt", "a");
    for (const char* name : {"nope", "Read_File", "read_file ", "Write_File", "Use_Connector", "mcp_srv", ""}) {
        EXPECT_EQ(failure_of(name, json::object()), std::string("unknown tool ") + name);
    }
    // use_connector and the connector tool keys reach the connector call, which checks its own arguments.
    EXPECT_EQ(failure_of("use_connector", json::object()), "missing \"connector\"");
    EXPECT_EQ(failure_of("mcp__srv__tool", json::object()), "unknown connector tool mcp__srv__tool");
    struct row {
        const char* tool;
        json arguments;
        std::string failure;  // exact, or the start of the JSON library's text after "]"
    };
    const row rows[] = {
        {"read_file", json::object(), "missing \"path\""},
        {"read_file", {{"path", 7}}, "missing \"path\""},
        {"read_file", json::array({"a.txt"}), "missing \"path\""},
        {"search_files", json::object(), "missing \"query\""},
        {"write_file", {{"path", "a.txt"}}, "missing \"content\""},
        {"edit_file", {{"path", "a.txt"}, {"old_text", "a"}}, "missing \"new_text\""},
        {"preview_url", "a.txt", "missing \"path\""},
        {"list_dir", json::array(), " cannot use value() with array"},
        {"list_dir", "x", " cannot use value() with string"},
        {"list_dir", {{"depth", "2"}}, " type must be number, but is string"},
        {"list_dir", {{"path", 1}}, " type must be string, but is number"},
        {"read_file", {{"path", "a.txt"}, {"offset", "2"}}, " type must be number, but is string"},
        {"read_file", {{"path", "a.txt"}, {"limit", true}}, " type must be number, but is boolean"},
        {"search_files", {{"query", "a"}, {"glob", 3}}, " type must be string, but is number"},
    };
    for (const row& r : rows) {
        std::string text = failure_of(r.tool, r.arguments);
        if (r.failure[0] == ' ') text = text.substr(text.find(']') + 1);
        EXPECT_EQ(text, r.failure) << r.tool << " " << r.arguments.dump();
    }
    // A whole number given as a float reads as that number.
    EXPECT_EQ(execute_agent_tool("read_file", {{"path", "a.txt"}, {"offset", 1.0}})["content"], "1\ta\n");
}
