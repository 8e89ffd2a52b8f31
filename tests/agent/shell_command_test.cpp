// The shell of run_command: which one a PATH gives, the argument lists that run a command with each, and the
// tool description that names it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "agent/shell_command.h"
#include "common/agent_state.h"
#include "common/process_state.h"
#include "common/text_helpers.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

namespace {

void make_file(const fs::path& file, mode_t mode) {
    fs::create_directories(file.parent_path());
    write_text(file, "#!/bin/sh\n");
    chmod(file.c_str(), mode);
}

}  // namespace

TEST(ShellCommand, TheShellThatAPathGives) {
    temp_folder t;
    make_file(t / "a" / "pwsh", 0644);  // not executable
    fs::create_directories(t / "b" / "pwsh");  // a folder
    make_file(t / "c" / "bash", 0755);
    make_file(t / "d" / "pwsh", 0755);
    const std::string a = (t / "a").string(), b = (t / "b").string(), c = (t / "c").string(),
                      d = (t / "d").string();
    struct row {
        std::string path;
        bool powershell;
        std::string name, program;
    };
    const row rows[] = {
        {a + ":" + b + ":" + c, false, "bash", c + "/bash"},
        {a + "::" + d + ":" + c, true, "PowerShell", d + "/pwsh"},
        {c + ":" + d, true, "PowerShell", d + "/pwsh"},  // pwsh anywhere on the PATH wins
        {a, false, "bash", "/bin/bash"},                 // no bash on the PATH: the system's
        {"", false, "bash", "/bin/bash"},
    };
    for (const row& r : rows) {
        const command_shell shell = choose_command_shell(r.path);
        EXPECT_EQ(shell.powershell, r.powershell) << r.path;
        EXPECT_EQ(shell.name, r.name) << r.path;
        EXPECT_EQ(shell.program, r.program) << r.path;
    }
}

TEST(ShellCommand, ArgumentLists) {
    const std::string command = "Get-ChildItem 'caf\xC3\xA9' | Out-String; echo \xF0\x9F\x98\x80 \xFF";
    const std::vector<std::string> bash = shell_command_argv({false, "bash", "/usr/bin/bash"}, command);
    EXPECT_EQ(bash, (std::vector<std::string>{"/usr/bin/bash", "--noprofile", "--norc", "-c", command}));

    const std::vector<std::string> pwsh = shell_command_argv({true, "PowerShell", "/opt/pwsh"}, command);
    ASSERT_EQ(pwsh.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(pwsh.begin(), pwsh.end() - 1),
              (std::vector<std::string>{"/opt/pwsh", "-NoLogo", "-NoProfile", "-NonInteractive", "-ExecutionPolicy",
                                        "Bypass", "-EncodedCommand"}));
    // UTF-16LE: two bytes per code unit, low byte first; the stray 0xFF byte becomes U+FFFD.
    const std::string bytes = base64_decode(pwsh.back());
    ASSERT_EQ(bytes.size() % 2, 0u);
    std::u16string units;
    for (size_t i = 0; i < bytes.size(); i += 2)
        units.push_back(char16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
    EXPECT_EQ(utf8_from_wide(units),
              "$ProgressPreference='SilentlyContinue'; [Console]::OutputEncoding=[Text.Encoding]::UTF8; "
              "$OutputEncoding=[Text.Encoding]::UTF8; Get-ChildItem 'caf\xC3\xA9' | Out-String; echo "
              "\xF0\x9F\x98\x80 \xEF\xBF\xBD");
    EXPECT_EQ(units.substr(units.size() - 4, 2), u"\U0001F600");  // a surrogate pair
    EXPECT_EQ(pwsh.back().find_first_of("\r\n"), std::string::npos);
}

TEST(ShellCommand, TheDescriptionNamesTheShellThatRuns) {
    EXPECT_EQ(run_command_description_start(), "Run a " + command_shell_name() + " command");
    const std::string rest =
        " in the project folder and return its output and exit code. Don't start servers or programs that keep "
        "running (they are stopped at the timeout); websites are previewed with preview_url.";
    EXPECT_EQ(run_command_description(), run_command_description_start() + rest);
    if (!process_command_shell().powershell)
        EXPECT_EQ(run_command_description(), "Run a bash command" + rest);
}

// Without a project folder a command would run in the server's own working folder: it is refused.
TEST(ShellCommand, NoProjectFolderNoCommand) {
    project_override.clear();
    agent_state.settings = nlohmann::json::object();
    try {
        run_shell_command("touch should-not-exist", 5);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot start " + command_shell_name());
    }
    EXPECT_FALSE(std::filesystem::exists("should-not-exist"));
}
