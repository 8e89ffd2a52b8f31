// Project paths: resolving against the project folder with the inside/outside verdict, the bounded walk over the
// project's files, and the folders no walk enters.
#include "agent/project_paths.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "project_tree.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> walk(const fs::path& root, size_t max = 5000, const fs::path& boundary = {}) {
    std::vector<std::string> out;
    for (const fs::path& rel : list_project_files(root, max, boundary)) out.push_back(rel.generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(ProjectPaths, ResolveTellsInsideFromOutside) {
    project_tree project;
    project.folder("sub");
    project.folder("..cache");
    const fs::path root = project.root;
    struct row {
        std::string path;
        fs::path expected;
        bool inside;
    };
    const row rows[] = {
        {".", root, true},
        {"", root, true},
        {root.string(), root, true},
        {root.string() + "/", root, true},
        {"sub/../a.txt", root / "a.txt", true},
        {"sub/./new/file.txt", root / "sub/new/file.txt", true},
        {"..cache/x", root / "..cache/x", true},
        {"..", project.dir.path, false},
        {"../elsewhere/f", project.outside / "f", false},
        {"sub/../../project2/f", project.dir / "project2/f", false},
        {project.outside.string(), project.outside, false},
        {"/etc/passwd", "/etc/passwd", false},
        {"/", "/", false},
    };
    for (const row& r : rows) {
        bool inside = !r.inside;
        EXPECT_EQ(resolve_in_project(r.path, inside), r.expected) << r.path;
        EXPECT_EQ(inside, r.inside) << r.path;
    }
}

TEST(ProjectPaths, ResolveFollowsLinksBeforeJudging) {
    project_tree project;
    fs::create_directory_symlink(project.outside, project.root / "out");
    fs::create_directory_symlink(project.root / "real", project.root / "alias");
    project.folder("real");
    bool inside = true;
    EXPECT_EQ(resolve_in_project("out/secret.txt", inside), project.outside / "secret.txt");
    EXPECT_FALSE(inside);
    EXPECT_EQ(resolve_in_project("alias/a.txt", inside), project.root / "real/a.txt");
    EXPECT_TRUE(inside);

    // A project folder reached through a link is compared in its real form too.
    fs::create_directory_symlink(project.root, project.dir / "link-to-project");
    project_override = (project.dir / "link-to-project").string();
    EXPECT_EQ(resolve_in_project("a.txt", inside), project.root / "a.txt");
    EXPECT_TRUE(inside);
}

TEST(ProjectPaths, ResolveRefusesANulByte) {
    project_tree project;
    bool inside = false;
    try {
        resolve_in_project(std::string("a.txt\0/../../x", 14), inside);
        FAIL() << "a NUL byte was accepted";
    } catch (const fs::filesystem_error& error) {
        EXPECT_NE(std::string(error.what()).find("weakly_canonical"), std::string::npos) << error.what();
    }
}

TEST(ProjectPaths, SkippedFoldersAreExactNames) {
    for (const char* name : {".git", "node_modules", "__pycache__", ".venv", "venv", ".mivra", ".next", ".cache",
                             ".idea", ".vs"}) {
        EXPECT_TRUE(is_skipped_folder(fs::path("/p/a") / name)) << name;
    }
    for (const char* name : {"Node_Modules", ".GIT", "git", ".gitx", "venv2", ".vscode", "src"}) {
        EXPECT_FALSE(is_skipped_folder(fs::path("/p/a") / name)) << name;
    }
}

TEST(ProjectPaths, TheWalkSkipsSkippedFoldersButNotSuchFiles) {
    project_tree project;
    project.file("a.txt");
    project.file("src/b.cpp");
    project.file("src/deep/c.h");
    project.file(".git/config");
    project.file("node_modules/x/index.js");
    project.file("src/__pycache__/m.pyc");
    project.file("Node_Modules/kept.js");
    project.file("sub/.git", "gitdir: elsewhere");  // a file named .git, as in a work tree
    project.folder("empty");
    EXPECT_EQ(walk(project.root), (std::vector<std::string>{"Node_Modules/kept.js", "a.txt", "src/b.cpp",
                                                            "src/deep/c.h", "sub/.git"}));
    EXPECT_EQ(walk(project.root, 2).size(), 2u);
    EXPECT_EQ(walk(project.root, 0).size(), 0u);
    EXPECT_TRUE(walk(project.root / "missing").empty());
    EXPECT_TRUE(walk(project.root / "a.txt").empty());
}

TEST(ProjectPaths, TheWalkFollowsOnlyLinksThatStayInTheProject) {
    project_tree project;
    write_text(project.outside / "secret.txt", "s");
    fs::create_directories(project.outside / "inner");
    write_text(project.outside / "inner" / "deep.txt", "d");
    project.file("src/a.txt");
    project.file("lib/real.txt");
    fs::create_directory_symlink(project.outside, project.root / "out");                // leaves: skipped
    fs::create_symlink(project.outside / "secret.txt", project.root / "secret-link");  // leaves: skipped
    fs::create_directory_symlink(project.root / "lib", project.root / "src/lib-link");   // stays: walked
    fs::create_symlink(project.root / "lib/real.txt", project.root / "real-link");       // stays: listed
    fs::create_directory_symlink(project.root, project.root / "src/loop");               // a loop: not entered
    fs::create_symlink(project.root / "gone.txt", project.root / "dangling");
    EXPECT_EQ(walk(project.root),
              (std::vector<std::string>{"lib/real.txt", "real-link", "src/a.txt", "src/lib-link/real.txt"}));

    // A walk of a folder outside the project that the user approved keeps to that folder.
    fs::create_directory_symlink(project.outside / "inner", project.outside / "inner-link");
    fs::create_directory_symlink(project.root, project.outside / "to-project");
    EXPECT_EQ(walk(project.outside),
              (std::vector<std::string>{"inner-link/deep.txt", "inner/deep.txt", "secret.txt"}));
    EXPECT_EQ(walk_boundary(project.outside), project.outside);
    EXPECT_EQ(walk_boundary(project.root / "src"), project.root);
}
