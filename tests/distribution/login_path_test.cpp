#include "platform/login_path.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string mark = "  # added by mivra: \"mivra path off\" removes this line";

std::string managed(const std::string& quoted) { return "PATH=\"${PATH:+$PATH:}\"" + quoted + "; export PATH" + mark; }

ino_t inode_of(const fs::path& p) {
    struct stat st{};
    stat(p.c_str(), &st);
    return st.st_ino;
}

}  // namespace

TEST(LoginPath, LineWorksInAShell) {
    temp_folder tmp;
    const fs::path profile = tmp / ".profile";
    const std::string dir = "/opt/my 'odd' $dir";
    write_login_path(profile, dir + ":/second");
    EXPECT_EQ(read_text(profile), managed("'/opt/my '\\''odd'\\'' $dir:/second'") + "\n");
    EXPECT_EQ(read_login_path(profile), dir + ":/second");

    // Sourced by a POSIX shell, with and without a PATH to extend.
    for (const char* path_text : {"/usr/bin:/bin", ""}) {
        const std::string path = path_text;
        auto r = run_child({"/bin/sh", "-c", ". \"$1\"; printf %s \"$PATH\"", "sh", profile.string()},
                           {"PATH=" + path});
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, (path.empty() ? "" : path + ":") + dir + ":/second");
    }
}

TEST(LoginPath, OnlyTheManagedLineChanges) {
    temp_folder tmp;
    const fs::path profile = tmp / ".profile";
    const std::string mine = "# my settings\r\nexport EDITOR=vi\n\nalias ll='ls -l'";  // no final line end

    write_text(profile, mine);
    write_login_path(profile, "/a");
    EXPECT_EQ(read_text(profile), mine + "\n" + managed("'/a'") + "\n");

    // Replaced in place; a second managed line is folded into the first.
    write_text(profile, "one\n" + managed("'/old'") + "\ntwo\n" + managed("'/more'") + "\nthree");
    EXPECT_EQ(read_login_path(profile), "/old:/more");
    write_login_path(profile, "/new");
    EXPECT_EQ(read_text(profile), "one\n" + managed("'/new'") + "\ntwo\nthree");

    // An empty value takes the line out; the rest stays byte for byte.
    write_login_path(profile, "");
    EXPECT_EQ(read_text(profile), "one\ntwo\nthree");
    EXPECT_EQ(read_login_path(profile), "");

    // A line edited out of shape still counts as ours and is replaced.
    write_text(profile, "x\nPATH=$PATH:/hand  # added by mivra: \"mivra path off\" removes this line\n");
    EXPECT_EQ(read_login_path(profile), "");
    write_login_path(profile, "/b");
    EXPECT_EQ(read_text(profile), "x\n" + managed("'/b'") + "\n");
}

TEST(LoginPath, FileHandling) {
    temp_folder tmp;
    const fs::path profile = tmp / ".profile";

    // Nothing to remove: no file is created.
    write_login_path(profile, "");
    EXPECT_FALSE(fs::exists(profile));
    EXPECT_EQ(read_login_path(profile), "");

    // The same value again leaves the file alone.
    write_login_path(profile, "/a");
    ino_t first = inode_of(profile);
    write_login_path(profile, "/a");
    EXPECT_EQ(inode_of(profile), first);

    // The mode is kept.
    chmod(profile.c_str(), 0600);
    write_login_path(profile, "/b");
    EXPECT_EQ(fs::status(profile).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A profile that is a link to a dotfiles folder is written through the link.
    fs::create_directory(tmp / "dotfiles");
    write_text(tmp / "dotfiles" / "profile", "keep\n");
    fs::create_symlink("dotfiles/profile", tmp / "linked");
    write_login_path(tmp / "linked", "/c");
    EXPECT_TRUE(fs::is_symlink(tmp / "linked"));
    EXPECT_EQ(read_text(tmp / "dotfiles" / "profile"), "keep\n" + managed("'/c'") + "\n");
}

TEST(LoginPath, Failures) {
    temp_folder tmp;
    const struct {
        const char* what;
        fs::path profile;
        std::string value;
        std::string error;
    } cases[] = {
        {"profile that cannot be read", tmp / "folder", "/a", "cannot read "},
        {"folder that does not exist", tmp / "missing" / ".profile", "/a", "cannot write "},
        {"line break in a folder name", tmp / "p", "/a\nrm -rf ~", "cannot write "},
    };
    fs::create_directory(tmp / "folder");
    write_text(tmp / "p", "keep\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            write_login_path(c.profile, c.value);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.error + c.profile.string() + ": ", 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(read_login_path(tmp / "folder"), std::runtime_error);
    EXPECT_EQ(read_text(tmp / "p"), "keep\n");
    EXPECT_FALSE(fs::exists(tmp / "p.mivra.tmp"));
}

TEST(LoginPath, EnvironmentFile) {
    const struct {
        const char* text;
        std::vector<std::string> entries;
    } cases[] = {
        {"PATH=\"/usr/local/bin:/usr/bin\"\n", {"/usr/local/bin", "/usr/bin"}},
        {"# PATH=/no\nLANG=C\nexport PATH='/a::/b'  \r\n", {"/a", "/b"}},
        {"  PATH=/first\nPATH=/last\n", {"/last"}},
        {"MYPATH=/no\nPATHX=/no\n", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(environment_file_path_entries(c.text), c.entries) << c.text;
}

TEST(LoginPath, LoginDefs) {
    const std::string defs =
        "# ENV_PATH PATH=/commented\n"
        "ENV_SUPATH\tPATH=/usr/local/sbin:/usr/sbin:/sbin\n"
        "ENV_PATHX  /other\n"
        "ENV_PATH   /usr/local/bin::/usr/bin  \r\n";
    EXPECT_EQ(login_defs_path_entries(defs, false), (std::vector<std::string>{"/usr/local/bin", "/usr/bin"}));
    EXPECT_EQ(login_defs_path_entries(defs, true),
              (std::vector<std::string>{"/usr/local/sbin", "/usr/sbin", "/sbin"}));
    EXPECT_TRUE(login_defs_path_entries("UMASK 022\n", false).empty());
    EXPECT_FALSE(system_path_entries().empty());
}
