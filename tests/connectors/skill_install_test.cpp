// Installing skills from a GitHub imitation on 127.0.0.1: the folder found, the files chosen and their limits, the
// tree cache, and that nothing is written outside the skills folder and a failed install keeps the old version.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "connectors/skill_install.h"
#include "skill_test_support.h"

namespace fs = std::filesystem;
using nlohmann::json;

// Write failures on demand: a write of exactly this many bytes fails as on a full disk while it is not 0.
std::atomic<uint64_t> failing_write_length{0};
extern "C" long mivra_write_hook(uint64_t, uint64_t length) {
    return failing_write_length != 0 && length == failing_write_length ? 0 : -1;
}

namespace {

const std::string pdf_skill = "---\nname: pdf\ndescription: Read, fill and merge PDF files\n---\n\n# PDF\n";

std::map<std::string, std::string> kit_files() {
    return {{"README.md", "kit"},
            {"skills/pdf/SKILL.md", pdf_skill},
            {"skills/pdf/scripts/fill.py", "print('fill')\n"},
            {"skills/pdf/reference.md", "ref"},
            {"skills/docx/SKILL.md", "---\nname: docx\n---\n"}};
}

}  // namespace

TEST(SkillInstall, InstallsAFolderAndListsTheTreeOnce) {
    skills_dir_setting s;
    github().add_repo("acme", "kit", "HEAD", kit_files());
    const json reply = install_or_write_skill({{"action", "install"}, {"url", "acme/kit/skills/pdf"}});
    const fs::path folder = s.skills / "pdf";
    EXPECT_EQ(reply, (json{{"installed", "pdf"},
                           {"folder", folder.string()},
                           {"files", 3},
                           {"description", "Read, fill and merge PDF files"},
                           {"source", github().web_prefix() + "acme/kit/tree/HEAD/skills/pdf"}}));
    EXPECT_EQ(files_below(s.skills), (std::vector<std::string>{"pdf/SKILL.md", "pdf/reference.md",
                                                                "pdf/scripts/fill.py"}));
    EXPECT_EQ(read_text(folder / "scripts" / "fill.py"), "print('fill')\n");
    EXPECT_EQ(github().tree_requests("acme", "kit"), 1);

    // A reinstall within ten minutes lists nothing, and the new version replaces the old one whole.
    write_text(folder / "stale.txt", "old");
    install_skill_from_github(github().web_prefix() + "acme/kit/tree/HEAD/skills/pdf/SKILL.md");
    EXPECT_EQ(github().tree_requests("acme", "kit"), 1);
    EXPECT_FALSE(fs::exists(folder / "stale.txt"));
    EXPECT_EQ(files_below(s.skills).size(), 3u);

    // Another branch is another listing.
    github().add_repo("acme", "kit", "dev", kit_files());
    install_skill_from_github(github().web_prefix() + "acme/kit/tree/dev/skills/docx");
    EXPECT_EQ(github().tree_requests("acme", "kit"), 2);
    EXPECT_EQ(read_text(s.skills / "docx" / "SKILL.md"), "---\nname: docx\n---\n");
}

TEST(SkillInstall, FindsTheSkillFolderAndItsFiles) {
    skills_dir_setting s;
    github().add_repo("acme", "kit", "HEAD", kit_files());
    // A repository whose root is the skill: top-level files and scripts/, references/, assets/ only.
    github().add_repo("acme", "rootskill", "HEAD",
                      {{"SKILL.md", "---\nname: Root Skill\n---\n"},
                       {"README.md", "r"},
                       {"scripts/run.sh", "s"},
                       {"references/api.md", "a"},
                       {"assets/logo.svg", "l"},
                       {"docs/guide.md", "d"},
                       {"notes..txt", "n"},
                       {"scripts/a:b", "c"},
                       {"scripts/back\\slash", "b"}});
    json reply = install_skill_from_github("acme/rootskill");
    EXPECT_EQ(reply["installed"], "Root Skill");
    EXPECT_EQ(reply["files"], 5);
    EXPECT_EQ(reply["source"], github().web_prefix() + "acme/rootskill");
    EXPECT_EQ(files_below(s.skills / "rootskill"),
              (std::vector<std::string>{"README.md", "SKILL.md", "assets/logo.svg", "references/api.md",
                                        "scripts/run.sh"}));

    // Through a folder link, every file below that folder comes along.
    github().add_repo("acme", "nested", "HEAD",
                      {{"tools/one/SKILL.md", "no front matter"}, {"tools/one/docs/deep/x.md", "x"}});
    reply = install_skill_from_github("acme/nested/tools");  // the one SKILL.md below becomes the skill
    EXPECT_EQ(reply["installed"], "one");
    EXPECT_EQ(reply["description"], "");
    EXPECT_EQ(reply["source"], github().web_prefix() + "acme/nested/tree/HEAD/tools/one");
    EXPECT_EQ(files_below(s.skills / "one"), (std::vector<std::string>{"SKILL.md", "docs/deep/x.md"}));

    // A folder name with a space and one with '+' install from their own links.
    github().add_repo("acme", "odd", "HEAD", {{"my skill/SKILL.md", "---\nname: spaced\n---\n"},
                                              {"c++/SKILL.md", "---\nname: cpp\n---\n"}});
    EXPECT_EQ(install_skill_from_github("acme/odd/my%20skill")["installed"], "spaced");
    EXPECT_TRUE(fs::exists(s.skills / "my-skill" / "SKILL.md"));
    EXPECT_EQ(install_skill_from_github(github().web_prefix() + "acme/odd/tree/HEAD/c%2B%2B")["installed"], "cpp");
    EXPECT_TRUE(fs::exists(s.skills / "c--" / "SKILL.md"));

    EXPECT_EQ(error_of([] { install_skill_from_github("acme/kit/skills"); }),
              "this folder has 2 skills; install one by its link (" + github().web_prefix() +
                  "acme/kit/tree/HEAD/skills/docx). Skills here: docx, pdf");
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/kit/nothing/here"); }),
              "no SKILL.md in acme/kit/nothing/here: that is not a skill");
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/missing"); }),
              "GitHub: HTTP 404, not found: " + github().api_prefix() + "repos/acme/missing/git/trees/HEAD?recursive=1");
    github().set_tree_answer("acme", "notjson", "HEAD", "<html>");
    EXPECT_THROW(install_skill_from_github("acme/notjson"), json::parse_error);
    EXPECT_THROW(install_skill_from_github("acme/missing"), std::runtime_error);
    EXPECT_EQ(github().tree_requests("acme", "missing"), 2);  // failures are not cached
    EXPECT_EQ(files_below(s.skills).size(), 9u);              // the failures wrote nothing
}

TEST(SkillInstall, NothingIsWrittenOutsideTheSkillsFolder) {
    skills_dir_setting s;
    temp_folder outside;
    const std::string skill_md = "---\nname: evil\n---\n";
    github().add_repo("acme", "evil", "HEAD", {{"skills/evil/SKILL.md", skill_md}});
    json tree = json::array({tree_blob("skills/evil/SKILL.md", skill_md.size()),
                             tree_blob("skills/evil//" + (outside / "k1").string(), 3),
                             tree_blob("skills/evil/a/../../../x", 3),
                             tree_blob(std::string("skills/evil/nul\0name", 20), 3),
                             tree_blob("skills/evil/./dot", 3),
                             tree_blob("skills/evil/ctl\x01name", 3),
                             tree_blob("skills/evil/trailing/", 3)});
    github().set_tree_answer("acme", "evil", "HEAD", json{{"tree", tree}}.dump());
    EXPECT_EQ(install_skill_from_github("acme/evil/skills/evil")["files"], 1);
    EXPECT_EQ(files_below(s.dir.path), (std::vector<std::string>{"skills/evil/SKILL.md"}));
    EXPECT_TRUE(fs::is_empty(outside.path));

    // A size that is not an integer of at least 0 refuses the install before anything is written.
    int repo_number = 0;
    for (const json& size : {json(-1), json(1.5), json("12"), json(nullptr)}) {
        const std::string repo = "badsize" + std::to_string(++repo_number);
        github().set_tree_answer("acme", repo, "HEAD",
                                 json{{"tree", json::array({tree_blob("skills/bad/SKILL.md", size)})}}.dump());
        EXPECT_EQ(error_of([&] { install_skill_from_github("acme/" + repo + "/skills/bad"); }),
                  "GitHub gave no usable size for SKILL.md")
            << size;
    }
    tree = json::array({json{{"path", "skills/bad/SKILL.md"}, {"type", "blob"}}});
    github().set_tree_answer("acme", "nosize", "HEAD", json{{"tree", tree}}.dump());
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/nosize/skills/bad"); }),
              "GitHub gave no usable size for SKILL.md");
    EXPECT_EQ(files_below(s.dir.path), (std::vector<std::string>{"skills/evil/SKILL.md"}));
}

TEST(SkillInstall, LimitsAreHeldBeforeAnythingIsWritten) {
    skills_dir_setting s;
    // count files of `size` bytes, the last one of last_size
    auto tree_of_sizes = [](size_t count, uint64_t size, uint64_t last_size) {
        json tree = json::array({tree_blob("big/SKILL.md", size)});
        for (size_t i = 1; i < count; ++i) {
            tree.push_back(tree_blob("big/f" + std::to_string(i), i + 1 == count ? last_size : size));
        }
        return json{{"tree", tree}}.dump();
    };
    github().set_tree_answer("acme", "many", "HEAD", tree_of_sizes(401, 1, 1));
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/many/big"); }), "that skill is too big (401 files)");
    // 300 files of 41943041 bytes in all, one more than allowed.
    github().set_tree_answer("acme", "heavy", "HEAD", tree_of_sizes(300, 139810, 41943041 - 299 * 139810));
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/heavy/big"); }), "that skill is too big (300 files)");
    github().set_tree_answer("acme", "huge", "HEAD", tree_of_sizes(2, 1, UINT64_MAX));
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/huge/big"); }), "that skill is too big (2 files)");
    EXPECT_FALSE(fs::exists(s.skills));

    // 400 files install.
    std::map<std::string, std::string> files = {{"big/SKILL.md", "---\nname: big\n---\n"}};
    for (int i = 1; i < 400; ++i) files["big/f" + std::to_string(i)] = std::to_string(i);
    github().add_repo("acme", "fourhundred", "HEAD", files);
    EXPECT_EQ(install_skill_from_github("acme/fourhundred/big")["files"], 400);
    EXPECT_EQ(files_below(s.skills / "big").size(), 400u);
}

TEST(SkillInstall, AFailedInstallKeepsTheOldVersionWhole) {
    skills_dir_setting s;
    github().add_repo("acme", "kit2", "HEAD", kit_files());
    install_skill_from_github("acme/kit2/skills/pdf");
    const fs::path folder = s.skills / "pdf";
    auto unchanged = [&] {
        EXPECT_EQ(files_below(s.skills), (std::vector<std::string>{"pdf/SKILL.md", "pdf/reference.md",
                                                                    "pdf/scripts/fill.py"}));
        EXPECT_EQ(read_text(folder / "SKILL.md"), pdf_skill);
        EXPECT_EQ(read_text(folder / "scripts" / "fill.py"), "print('fill')\n");
    };
    const std::string raw_file = "acme/kit2/HEAD/skills/pdf/scripts/fill.py";

    github().set_raw_answer(raw_file, 500, "boom");
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/kit2/skills/pdf"); }),
              "download of scripts/fill.py failed: HTTP 500 from 127.0.0.1: boom");
    unchanged();

    // A body of another length than the listing says.
    for (const char* body : {"print('fill')\n# and more\n", "print"}) {
        github().set_raw_answer(raw_file, 200, body);
        EXPECT_EQ(error_of([] { install_skill_from_github("acme/kit2/skills/pdf"); }),
                  "scripts/fill.py changed on GitHub; try again");
        unchanged();
    }
    github().set_raw_answer(raw_file, 200, "print('fill')\n");

    // A file that cannot be written.
    failing_write_length = std::string("print('fill')\n").size();
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/kit2/skills/pdf"); }),
              "could not write " + (s.skills / ".pdf.download" / "scripts" / "fill.py").string());
    failing_write_length = 0;
    unchanged();

    // A listing that GitHub cut short.
    json tree = json::array({tree_blob("skills/pdf/SKILL.md", pdf_skill.size())});
    github().set_tree_answer("acme", "cut", "HEAD", json{{"tree", tree}, {"truncated", true}}.dump());
    EXPECT_EQ(error_of([] { install_skill_from_github("acme/cut/skills/pdf"); }),
              "GitHub sent only part of the file list of acme/cut; that is too big to install");
    unchanged();
}

TEST(SkillInstall, TwoInstallsOfOneSkillAtOnceEachFinishWhole) {
    skills_dir_setting s;
    github().add_repo("acme", "kit3", "HEAD", kit_files());
    github().set_raw_delay_ms(30);
    std::string errors[2];
    std::thread installs[2];
    for (int i = 0; i < 2; ++i) {
        installs[i] = std::thread([&errors, i] {
            errors[i] = error_of([] { install_skill_from_github("acme/kit3/skills/pdf"); });
        });
    }
    for (std::thread& t : installs) t.join();
    github().set_raw_delay_ms(0);
    EXPECT_EQ(errors[0], "<no error>");
    EXPECT_EQ(errors[1], "<no error>");
    EXPECT_EQ(files_below(s.skills), (std::vector<std::string>{"pdf/SKILL.md", "pdf/reference.md",
                                                                "pdf/scripts/fill.py"}));
}
