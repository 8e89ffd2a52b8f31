// write_file, edit_file and their undo backups, called in-process on a real folder tree with this thread's
// project_override set and the app data folder in a temporary folder; the platform's write seam (defined here) makes
// a write fail midway.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "agent/file_tools.h"
#include "agent/tool_executor.h"
#include "agent/undo_backups.h"
#include "common/agent_settings.h"
#include "project_tree.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::function<long(uint64_t, uint64_t)> write_fault;  // set by a test while no write runs

std::string failure_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

std::string tool_failure(const std::string& name, const json& arguments) {
    return failure_of([&] { execute_agent_tool(name, arguments); });
}

size_t count_in(const fs::path& folder) {
    std::error_code ignored;
    size_t n = 0;
    for (fs::directory_iterator it(folder, ignored), end; !ignored && it != end; it.increment(ignored)) ++n;
    return n;
}

// A project tree with the app data folder (and so the backups) in its own temporary folder.
class WriteTools : public testing::Test {
protected:
    project_tree project;
    fs::path backups;
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", (project.dir / "data").c_str(), 1);
        backups = backups_folder();
    }
    void TearDown() override {
        write_fault = nullptr;
        ::unsetenv("XDG_DATA_HOME");
    }
    json write(const std::string& path, const std::string& content) {
        return execute_agent_tool("write_file", {{"path", path}, {"content", content}});
    }
    json edit(const std::string& path, const std::string& old_text, const std::string& new_text) {
        return execute_agent_tool("edit_file", {{"path", path}, {"old_text", old_text}, {"new_text", new_text}});
    }
};

}  // namespace

extern "C" long mivra_write_hook(uint64_t offset, uint64_t length) {
    return write_fault ? write_fault(offset, length) : -1;
}

TEST_F(WriteTools, WriteFileCreatesFoldersRecordsTheBackupAndUndoesIt) {
    const json created = write("new/sub/notes.txt", "hello\n");
    const fs::path file = project.root / "new" / "sub" / "notes.txt";
    const std::string id = created["undo_id"];
    EXPECT_EQ(created, (json{{"path", file.string()}, {"bytes", 6}, {"created", true}, {"undo_id", id}}));
    ASSERT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(read_text(file), "hello\n");
    EXPECT_EQ(read_text(backups / (id + ".json")), R"({"existed":false,"path":")" + file.string() + R"("})");
    EXPECT_FALSE(fs::exists(backups / (id + ".bak")));

    const json replaced = write("new/sub/notes.txt", "second");
    EXPECT_EQ(replaced["created"], false);
    const std::string id2 = replaced["undo_id"];
    EXPECT_EQ(read_text(backups / (id2 + ".bak")), "hello\n");

    undo_outcome outcome = undo_change(id2);
    EXPECT_TRUE(outcome.restored);
    EXPECT_EQ(read_text(file), "hello\n");
    // The undo kept what it overwrote: undoing the undo brings the newer content back.
    EXPECT_EQ(read_text(backups / (outcome.undo_id + ".bak")), "second");
    undo_change(outcome.undo_id);
    EXPECT_EQ(read_text(file), "second");

    outcome = undo_change(id);
    EXPECT_FALSE(outcome.restored);
    EXPECT_EQ(outcome.path, file);
    EXPECT_FALSE(fs::exists(file));
    // Removed twice is no error; capitals name the same backup.
    std::string upper = id;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(undo_change(upper).restored);
}

TEST_F(WriteTools, PreviewAndWebFileHints) {
    fs::create_directories(project.outside);
    EXPECT_EQ(write("site/index.html", "<p>hi</p>")["preview"],
              "http://127.0.0.1:" + std::to_string(agent_state.port) + "/preview/site/index.html");
    EXPECT_FALSE(write("index.HTML", "x").contains("preview"));
    EXPECT_FALSE(write((project.outside / "page.htm").string(), "x").contains("preview"));
    EXPECT_EQ(write("old.htm", "x").contains("preview"), true);

    write("style.css", "a { }\nb { }\n");
    EXPECT_EQ(edit("style.css", "b {", "i {")["changed_web_file"], true);
    write("style.CSS", "a");
    EXPECT_FALSE(edit("style.CSS", "a", "b").contains("changed_web_file"));
    write((project.outside / "app.js").string(), "x");
    EXPECT_FALSE(edit((project.outside / "app.js").string(), "x", "y").contains("changed_web_file"));
}

TEST_F(WriteTools, EditFileFindsOneOccurrenceAndCountsItsLine) {
    const fs::path file = project.file("src/main.c", "int a;\nint b;\r\nint c;\n");
    const json result = edit("src/main.c", "int c;", "long c;");
    EXPECT_EQ(result["line"], 3);
    EXPECT_EQ(result["replaced"], true);
    EXPECT_EQ(read_text(file), "int a;\nint b;\r\nlong c;\n");
    EXPECT_EQ(edit("src/main.c", "int a;\n", "")["line"], 1);

    // Edit, edit, undo, undo: the original bytes are back.
    const std::string original = read_text(file);
    const std::string first = edit("src/main.c", "int b;", "int bb;")["undo_id"];
    const std::string second = edit("src/main.c", "long c;", "short c;")["undo_id"];
    undo_change(second);
    undo_change(first);
    EXPECT_EQ(read_text(file), original);
}

TEST_F(WriteTools, RefusedEditsChangeNothing) {
    const fs::path file = project.file("a.txt", "aaa\n");
    const struct {
        json arguments;
        std::string failure;
    } cases[] = {
        {{{"path", "a.txt"}, {"old_text", ""}, {"new_text", "x"}}, "old_text is empty"},
        {{{"path", "a.txt"}, {"old_text", "b"}, {"new_text", "x"}},
         "old_text was not found in the file; read the file again and copy the text exactly"},
        {{{"path", "a.txt"}, {"old_text", "aa"}, {"new_text", "x"}},
         "old_text appears more than once; include more surrounding lines"},
        {{{"path", "a.txt"}, {"old_text", "a"}}, "missing \"new_text\""},
        {{{"path", "gone.txt"}, {"old_text", "a"}, {"new_text", "x"}},
         "cannot read " + (project.root / "gone.txt").string()},
    };
    for (const auto& c : cases) EXPECT_EQ(tool_failure("edit_file", c.arguments), c.failure) << c.arguments.dump();
    EXPECT_EQ(read_text(file), "aaa\n");
    EXPECT_EQ(count_in(backups), 0u);
}

TEST_F(WriteTools, UndoIdsOfTheWrongFormOrUnknown) {
    for (const char* bad : {"zz", "0123456789abcde", "0123456789abcdef0", "0123456789abcdeg", ""}) {
        EXPECT_EQ(failure_of([&] { undo_change(bad); }), "bad undo id") << bad;
    }
    EXPECT_EQ(failure_of([] { undo_change("0123456789abcdef"); }),
              "cannot read " + (backups / "0123456789abcdef.json").string());
}

TEST_F(WriteTools, WritesNeverFollowALinkOutOfTheProject) {
    write_text(project.outside / "target.txt", "outside");
    fs::create_directories(project.root / "uploads");
    fs::create_symlink(project.outside / "planted.txt", project.root / "uploads" / "x");
    fs::create_symlink(project.outside / "target.txt", project.root / "out.txt");
    project.file("real.txt", "real");
    fs::create_symlink(project.root / "real.txt", project.root / "alias.txt");

    EXPECT_EQ(tool_failure("write_file", {{"path", "uploads/x"}, {"content", "boo"}}),
              "cannot write " + (project.root / "uploads" / "x").string());
    EXPECT_FALSE(fs::exists(project.outside / "planted.txt"));
    EXPECT_EQ(tool_failure("edit_file", {{"path", "out.txt"}, {"old_text", "outside"}, {"new_text", "in"}}),
              "cannot write " + (project.outside / "target.txt").string());
    EXPECT_EQ(read_text(project.outside / "target.txt"), "outside");
    EXPECT_EQ(count_in(backups), 0u);

    // A link to another file of the project writes that file and stays a link; the undo puts the file back.
    const json result = write("alias.txt", "changed");
    EXPECT_EQ(result["created"], false);
    EXPECT_TRUE(fs::is_symlink(project.root / "alias.txt"));
    EXPECT_EQ(read_text(project.root / "real.txt"), "changed");
    undo_change(result["undo_id"]);
    EXPECT_EQ(read_text(project.root / "real.txt"), "real");
    EXPECT_TRUE(fs::is_symlink(project.root / "alias.txt"));
}

TEST_F(WriteTools, AFailedWriteKeepsTheFileAndItsUndoRecord) {
    const fs::path file = project.file("big.txt", std::string(50000, 'o'));
    // Only the file's own write (the one of 90000 bytes) fails, after 1000 bytes; the backup copy passes.
    write_fault = [](uint64_t, uint64_t length) -> long { return length == 90000 ? 1000 : -1; };
    EXPECT_EQ(tool_failure("write_file", {{"path", "big.txt"}, {"content", std::string(90000, 'n')}}),
              "cannot write " + file.string());
    write_fault = nullptr;
    EXPECT_EQ(read_text(file), std::string(50000, 'o'));
    EXPECT_EQ(count_in(project.root), 1u);  // no temporary left beside it
    // Its record stays and is usable.
    std::string id;
    for (const auto& entry : fs::directory_iterator(backups)) {
        if (entry.path().extension() == ".json") id = entry.path().stem().string();
    }
    ASSERT_EQ(id.size(), 16u);
    write("big.txt", "later");
    EXPECT_TRUE(undo_change(id).restored);
    EXPECT_EQ(read_text(file), std::string(50000, 'o'));
}

TEST_F(WriteTools, NoWriteWithoutAWayBack) {
    const fs::path file = project.file("keep.txt", "precious");
    fs::create_directories(backups.parent_path());
    write_text(backups, "a file where the backups folder should be");
    EXPECT_EQ(tool_failure("write_file", {{"path", "keep.txt"}, {"content", "x"}}), "cannot back up " + file.string());
    EXPECT_EQ(tool_failure("edit_file", {{"path", "keep.txt"}, {"old_text", "precious"}, {"new_text", "x"}}),
              "cannot back up " + file.string());
    EXPECT_EQ(read_text(file), "precious");

    // A folder where the file should be: the backup is made, the write refused.
    fs::remove(backups);
    project.folder("dir.txt");
    EXPECT_EQ(tool_failure("write_file", {{"path", "dir.txt"}, {"content", "x"}}),
              "cannot write " + (project.root / "dir.txt").string());
}
