// `mivra path on|off` run as the real program with its own HOME, checked through a login shell.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string bin_dir = fs::canonical(MIVRA_BIN_DIR).string();
const std::string mivra = bin_dir + "/mivra";
const std::string done_on = "  Done. In a new terminal window, `mivra start` now works from any folder.\n";
const std::string done_off = "  Done. `mivra` is no longer on your PATH; run it as ./mivra from its folder.\n";
const std::string usage =
    "usage: mivra path on    let `mivra` work in any terminal, from any folder\n"
    "       mivra path off   take this Mivra folder out of your PATH\n";

struct home_env {
    temp_folder home;
    std::vector<std::string> env(const std::string& path = "/usr/bin:/bin") const {
        return {"HOME=" + home.path.string(), "PATH=" + path};
    }
    child_result path(const std::string& word, const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> e = env();
        e.insert(e.end(), extra.begin(), extra.end());
        std::vector<std::string> argv = {mivra, "path"};
        if (!word.empty()) argv.push_back(word);
        return run_child(argv, e);
    }
    // What a new login shell of this user finds as `mivra`.
    std::string login_shell_finds() const {
        return run_child({"/bin/bash", "-l", "-c", "command -v mivra"}, env()).out;
    }
    nlohmann::json settings() const {
        return nlohmann::json::parse(read_text(home.path / ".config" / "mivra" / "mivra.json"));
    }
};

}  // namespace

TEST(CmdPath, OnAndOffThroughALoginShell) {
    home_env user;
    EXPECT_EQ(user.login_shell_finds(), "");

    auto on = user.path("on");
    EXPECT_EQ(on.exit_code, 0) << on.err;
    EXPECT_EQ(on.out, done_on);
    EXPECT_EQ(user.login_shell_finds(), mivra + "\n");
    EXPECT_EQ(user.settings(), nlohmann::json({{"PathDir", bin_dir}, {"PathOff", "0"}}));

    // A second `on` adds nothing.
    const std::string profile = read_text(user.home / ".profile");
    EXPECT_EQ(user.path("on").out, done_on);
    EXPECT_EQ(read_text(user.home / ".profile"), profile);

    auto off = user.path("off");
    EXPECT_EQ(off.exit_code, 0) << off.err;
    EXPECT_EQ(off.out, done_off);
    EXPECT_EQ(user.login_shell_finds(), "");
    EXPECT_EQ(read_text(user.home / ".profile"), "");
    EXPECT_EQ(user.settings(), nlohmann::json({{"PathDir", ""}, {"PathOff", "1"}}));
}

TEST(CmdPath, AutomaticCallRespectsOff) {
    home_env user;
    const std::string driver = bin_dir + "/distribution_driver";
    EXPECT_EQ(run_child({driver, "auto-path"}, user.env()).out, "1\n");
    EXPECT_EQ(user.login_shell_finds(), mivra + "\n");
    EXPECT_EQ(run_child({driver, "auto-path"}, user.env()).out, "0\n");

    EXPECT_EQ(user.path("off").exit_code, 0);
    EXPECT_EQ(run_child({driver, "auto-path"}, user.env()).out, "0\n");
    EXPECT_EQ(user.login_shell_finds(), "");
    EXPECT_EQ(user.settings()["PathOff"], "1");

    EXPECT_EQ(user.path("on").exit_code, 0);
    EXPECT_EQ(user.settings()["PathOff"], "0");
}

TEST(CmdPath, StaleSessionPathDoesNotCount) {
    // A terminal opened before `path off` still has the folder on its PATH; `path on` run there must still put it
    // back for new logins.
    home_env user;
    const std::vector<std::string> stale = user.env("/usr/bin:/bin:" + bin_dir + "/");
    EXPECT_EQ(run_child({mivra, "path", "on"}, stale).out, done_on);
    EXPECT_EQ(run_child({mivra, "path", "off"}, stale).out, done_off);
    EXPECT_EQ(user.login_shell_finds(), "");
    EXPECT_EQ(run_child({mivra, "path", "on"}, stale).out, done_on);
    EXPECT_EQ(user.login_shell_finds(), mivra + "\n");
}

TEST(CmdPath, SettingsFollowXdgConfigHome) {
    home_env user;
    auto r = user.path("off", {"XDG_CONFIG_HOME=" + (user.home / "xdg").string()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(read_text(user.home / "xdg" / "mivra" / "mivra.json"))["PathOff"], "1");
    EXPECT_FALSE(fs::exists(user.home / ".config"));
}

TEST(CmdPath, FailedWritesAreReported) {
    {
        home_env user;
        fs::create_directory(user.home / ".profile");  // cannot be read, so it must not be rewritten
        auto r = user.path("on");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "error: cannot read " + (user.home / ".profile").string() + ": Is a directory\n");
        EXPECT_EQ(user.settings()["PathOff"], "0");  // the remaining steps still ran
    }
    {
        home_env user;
        write_text(user.home / "xdg-file", "");
        auto r = user.path("off", {"XDG_CONFIG_HOME=" + (user.home / "xdg-file").string()});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("error: cannot write " + (user.home / "xdg-file" / "mivra" / "mivra.json").string(), 0),
                  0u)
            << r.err;
    }
}

TEST(CmdPath, Usage) {
    home_env user;
    for (const auto& [word, code] : {std::pair<std::string, int>{"", 0}, {"sideways", 1}, {"ON", 1}}) {
        auto r = user.path(word);
        EXPECT_EQ(r.exit_code, code) << word;
        EXPECT_EQ(r.out, usage) << word;
    }
    EXPECT_FALSE(fs::exists(user.home / ".config"));
}
