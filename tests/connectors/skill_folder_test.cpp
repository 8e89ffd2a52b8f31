// Installed skills on real folders: the front-matter reader's rules, the name rule, the listing, writing a new skill
// and removing one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "connectors/skill_folder.h"
#include "connectors/skill_install.h"
#include "skill_test_support.h"

namespace fs = std::filesystem;
using nlohmann::json;

TEST(SkillFrontMatter, ReadsNameAndDescriptionByItsRules) {
    struct row {
        const char* text;
        const char* name;
        const char* description;
    };
    const row rows[] = {
        {"---\nname: pdf\ndescription: Read PDFs\n---\nbody", "pdf", "Read PDFs"},
        {"---\r\nname: pdf\r\ndescription: Read PDFs\r\n---\r\n", "pdf", "Read PDFs"},  // CRLF
        {"---\nname: \"quoted\"\ndescription: 'single'\n---\n", "quoted", "single"},
        {"---\nname: a:b:c\n---\n", "a:b:c", "old"},  // everything after the first colon
        {"---\nname:\n---\n", "", "old"},              // an empty name line empties the name
        {"---\ndescription: >\n  first line\n  second line\n---\n", "old", "first line second line"},
        {"---\ndescription: |-\n  one\n\n  two\n---\n", "old", "one"},          // an empty line ends the block
        {"---\ndescription: >\n\t'tab'\nname: x\n  ignored\n---\n", "x", "tab"},  // a key line ends it
        {"---\ndescription: plain\n  not joined\n---\n", "old", "plain"},
        {"---\nName: upper\n description: indented\n---\n", "old", "old"},  // keys at the start, lower case
        {"---\nname: first\nname: second\n---\nname: after\n", "second", "old"},
        {"---\nname: open to the end", "open to the end", "old"},
        {"name: no front matter\n", "old", "old"},
        {"", "old", "old"},
        {"--- anything\nname: x\n--- closing line may hold text\n", "x", "old"},
    };
    for (const row& r : rows) {
        std::string name = "old", description = "old";
        parse_skill_front_matter(r.text, name, description);
        EXPECT_EQ(name, r.name) << r.text;
        EXPECT_EQ(description, r.description) << r.text;
    }
}

TEST(SkillName, BecomesAFolderName) {
    EXPECT_EQ(check_skill_name("My Skill!"), "My-Skill-");
    EXPECT_EQ(check_skill_name("..hidden"), "hidden");
    EXPECT_EQ(check_skill_name("a.b_c-d"), "a.b_c-d");
    EXPECT_EQ(check_skill_name("\xc3\xa9t\xc3\xa9"), "--t--");  // each byte of a UTF-8 character
    EXPECT_EQ(check_skill_name("../../etc"), "-..-etc");
    EXPECT_EQ(check_skill_name(std::string(64, 'a')), std::string(64, 'a'));
    for (const std::string& bad : {std::string(65, 'a'), std::string("..."), std::string()}) {
        EXPECT_EQ(error_of([&] { check_skill_name(bad); }), "bad skill name") << bad;
    }
}

TEST(InstalledSkills, ListsFoldersThatHoldASkillFile) {
    skills_dir_setting s;
    EXPECT_TRUE(list_installed_skills().empty());  // the folder does not exist yet
    s.add("pdf", "---\nname: PDF tools\ndescription: >\n  Read and\n  fill PDFs\n---\n# PDF\n");
    s.add("bare", "no front matter\n");
    s.add("emptyname", "---\nname:\n---\n");
    s.add(".kit.download", "---\nname: leftover\n---\n");  // a dot is not special
    fs::create_directories(s.skills / "nofile");
    fs::create_directories(s.skills / "dirskill" / "SKILL.md");  // counts, and is listed under its folder name
    fs::create_directories(s.skills / "dangling");
    fs::create_symlink(s.skills / "missing-target", s.skills / "dangling" / "SKILL.md");
    write_text(s.skills / "loose.md", "---\nname: file\n---\n");

    std::vector<skill_info> skills = list_installed_skills();
    std::sort(skills.begin(), skills.end(), [](const auto& a, const auto& b) { return a.skill_file < b.skill_file; });
    ASSERT_EQ(skills.size(), 5u);
    const std::pair<std::string, std::string> expected[] = {
        {".kit.download", "leftover"}, {"bare", "bare"}, {"dirskill", "dirskill"},
        {"emptyname", "emptyname"},    {"pdf", "PDF tools"},
    };
    for (size_t i = 0; i < skills.size(); ++i) {
        EXPECT_EQ(skills[i].skill_file, s.skills / expected[i].first / "SKILL.md");
        EXPECT_EQ(skills[i].name, expected[i].second);
    }
    EXPECT_EQ(skills[4].description, "Read and fill PDFs");
    EXPECT_EQ(skills[1].description, "");
}

TEST(InstalledSkills, WritesANewSkillAndRemovesIt) {
    skills_dir_setting s;
    const json reply = install_or_write_skill(
        {{"name", "My Skill!"}, {"description", "when\r\nasked"}, {"instructions", "Do it."}, {"url", 3}});
    const fs::path folder = s.skills / "My-Skill-";
    EXPECT_EQ(reply, (json{{"installed", "My-Skill-"}, {"folder", folder.string()}}));
    EXPECT_EQ(read_text(folder / "SKILL.md"), "---\nname: My-Skill-\ndescription: when  asked\n---\n\nDo it.\n");
    write_text(folder / "notes.txt", "kept");
    install_or_write_skill({{"name", "My-Skill-"}, {"instructions", "Again."}});
    EXPECT_EQ(read_text(folder / "SKILL.md"), "---\nname: My-Skill-\ndescription: \n---\n\nAgain.\n");
    EXPECT_EQ(read_text(folder / "notes.txt"), "kept");

    const std::string give =
        "give url (a GitHub link to a skill folder) or name + description + instructions to write a new skill";
    EXPECT_EQ(error_of([] { install_or_write_skill({{"name", "x"}}); }), give);
    EXPECT_EQ(error_of([] { install_or_write_skill({{"instructions", "x"}, {"url", ""}}); }), give);
    EXPECT_EQ(error_of([] { install_or_write_skill({{"name", "..."}, {"instructions", "x"}}); }), "bad skill name");

    // A SKILL.md that cannot be written is reported, not answered as written.
    fs::create_directories(s.skills / "blocked" / "SKILL.md" / "inside");
    EXPECT_EQ(error_of([] { install_or_write_skill({{"name", "blocked"}, {"instructions", "x"}}); }),
              "could not write " + (s.skills / "blocked" / "SKILL.md").string());

    EXPECT_EQ(remove_skill("My Skill!"), (json{{"removed", "My-Skill-"}}));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(error_of([] { remove_skill("My Skill!"); }), "no skill named My Skill!");
    fs::create_directories(s.skills / "nofile");
    EXPECT_EQ(error_of([] { remove_skill("nofile"); }), "no skill named nofile");
    EXPECT_TRUE(fs::exists(s.skills / "nofile"));
    EXPECT_EQ(error_of([] { remove_skill(""); }), "bad skill name");
}

TEST(InstalledSkills, TheFolderComesFromTheSettings) {
    EXPECT_EQ(skills_folder_in(json{{"skills_dir", "/x/y"}}), fs::path("/x/y"));
    EXPECT_EQ(skills_folder_in(json::object()).filename(), "skills");
    EXPECT_THROW(skills_folder_in(json{{"skills_dir", 5}}), json::type_error);
}
