// Links to skill folders on GitHub (the default GitHub addresses: this program sets no MIVRA_GITHUB_* variable).
#include <gtest/gtest.h>

#include "connectors/skill_github.h"

TEST(SkillLink, ParsesWebRawAndShortForms) {
    struct row {
        const char* link;
        const char* owner;
        const char* repo;
        const char* branch;
        const char* path;
    };
    const row rows[] = {
        {"anthropics/skills/skills/pdf", "anthropics", "skills", "HEAD", "skills/pdf"},
        {"https://github.com/anthropics/skills/tree/main/skills/pdf", "anthropics", "skills", "main", "skills/pdf"},
        {"https://raw.githubusercontent.com/anthropics/skills/main/skills/pdf/SKILL.md", "anthropics", "skills",
         "main", "skills/pdf"},
        {"https://github.com/anthropics/skills/blob/v2/skills/pdf/SKILL.md", "anthropics", "skills", "v2",
         "skills/pdf"},
        {"https://github.com/acme/kit.git", "acme", "kit", "HEAD", ""},
        {"  https://github.com/acme/kit/ / \t\r\n", "acme", "kit", "HEAD", ""},
        {"https://github.com/acme/kit/tree/main/my%20skill", "acme", "kit", "main", "my skill"},
        {"https://github.com/acme/kit/tree/main/c++/a+b%2Bc", "acme", "kit", "main", "c++/a+b+c"},
        {"https://github.com/acme/kit/tree/main/bad%2", "acme", "kit", "main", "bad%2"},
        {"https://github.com/acme/kit/blob/main/SKILL.md", "acme", "kit", "main", ""},
        {"https://github.com//acme//kit//x", "acme", "kit", "HEAD", "x"},
        {"https://raw.githubusercontent.com/acme/kit", "acme", "kit", "HEAD", ""},
        {"acme/.git", "acme", ".git", "HEAD", ""},
        {"acme/kit/tree", "acme", "kit", "HEAD", "tree"},
        {"acme/kit/notaSKILL.md", "acme", "kit", "HEAD", "notaSKILL.md"},
    };
    for (const row& r : rows) {
        const github_link link = parse_github_skill_link(r.link);
        EXPECT_EQ(link.owner, r.owner) << r.link;
        EXPECT_EQ(link.repo, r.repo) << r.link;
        EXPECT_EQ(link.branch, r.branch) << r.link;
        EXPECT_EQ(link.path, r.path) << r.link;
    }
}

TEST(SkillLink, RefusesOtherHostsAndShortLinks) {
    const std::string give = "give a GitHub link (https://github.com/owner/repo/tree/main/path-to-skill)";
    const std::pair<const char*, std::string> rows[] = {
        {"http://github.com/acme/kit", give},
        {"https://gitlab.com/acme/kit", give},
        {"acme/kit?x=ftp://y", give},
        {"acme", "that is not a GitHub repository link"},
        {"https://github.com/acme/", "that is not a GitHub repository link"},
        {"  / ", "that is not a GitHub repository link"},
    };
    for (const auto& [link, text] : rows) {
        try {
            parse_github_skill_link(link);
            ADD_FAILURE() << link;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), text) << link;
        }
    }
}

TEST(SkillLink, PathDecodingKeepsPlus) {
    EXPECT_EQ(percent_decode_path("a%20b+c%2fd%zz%4"), "a b+c/d%zz%4");
    EXPECT_EQ(github_web_prefix(), "https://github.com/");
    EXPECT_EQ(github_raw_prefix(), "https://raw.githubusercontent.com/");
    EXPECT_EQ(github_api_prefix(), "https://api.github.com/");
}
