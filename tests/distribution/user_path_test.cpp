#include "distribution/user_path.h"

#include <gtest/gtest.h>

TEST(UserPath, EditTable) {
    const std::string dir = "/opt/mivra";
    const struct {
        const char* what;
        std::string path;
        std::string old;
        bool on;
        std::vector<std::string> system;
        std::string expected;
        bool changed;
    } cases[] = {
        {"on appends to an empty PATH", "", "", true, {}, "/opt/mivra", true},
        {"on appends as the last entry", "/a:/b", "", true, {}, "/a:/b:/opt/mivra", true},
        {"already there with trailing slashes", "/a:/opt/mivra//", "", true, {}, "/a:/opt/mivra//", false},
        {"case counts in Linux names", "/OPT/MIVRA", "", true, {}, "/OPT/MIVRA:/opt/mivra", true},
        {"off removes every copy", "/opt/mivra:/a:/opt/mivra/:/b", "/opt/mivra", false, {}, "/a:/b", true},
        {"off without the folder changes nothing", "/a::/b:", "", false, {}, "/a::/b:", false},
        {"moved folder: old removed, new appended in one rewrite", "/a:/old/mivra:/b", "/old/mivra/", true, {},
         "/a:/b:/opt/mivra", true},
        {"moved folder is removed by off as well", "/old/mivra:/opt/mivra", "/old/mivra", false, {}, "", true},
        {"old equal to dir is kept with on", "/opt/mivra", "/opt/mivra/", true, {}, "/opt/mivra", false},
        {"empty entries go only with a rewrite", "::/a::", "", true, {}, "/a:/opt/mivra", true},
        {"empty entries stay without one", "::/a:/opt/mivra:", "", true, {}, "::/a:/opt/mivra:", false},
        {"on the system PATH already", "/a", "", true, {"/usr/bin", "/opt/mivra/"}, "/a", false},
        {"system PATH decided entry by entry", "/a", "", true, {"/opt/mivra-old", "/opt"}, "/a:/opt/mivra", true},
        {"other entries keep their text", "/x y:~/bin:$HOME/b", "", true, {}, "/x y:~/bin:$HOME/b:/opt/mivra", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        user_path_edit edit = edit_user_path(c.path, dir, c.old, c.on, c.system);
        EXPECT_EQ(edit.path, c.expected);
        EXPECT_EQ(edit.changed, c.changed);
    }
}

TEST(UserPath, EntryKey) {
    EXPECT_EQ(path_entry_key("/opt/mivra///"), "/opt/mivra");
    EXPECT_EQ(path_entry_key("/"), "/");
    EXPECT_EQ(path_entry_key("//"), "/");
    EXPECT_EQ(path_entry_key("C:\\Mivra\\"), "C:\\Mivra\\");  // a backslash is part of a Linux name
}
