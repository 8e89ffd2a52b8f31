#include "agent/shell_command.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "agent/project_paths.h"
#include "common/agent_settings.h"
#include "common/text_helpers.h"
#include "platform/child_process.h"

const char* const powershell_command_prefix =
    "$ProgressPreference='SilentlyContinue'; [Console]::OutputEncoding=[Text.Encoding]::UTF8; "
    "$OutputEncoding=[Text.Encoding]::UTF8; ";

namespace {

constexpr size_t output_limit = 12000;
// The drain keeps the latest output: past 4 MiB its beginning is dropped down to the last 2 MiB.
constexpr size_t drain_keep_max = size_t(4) << 20;
constexpr size_t drain_keep_after_trim = size_t(2) << 20;

std::string utf16le_bytes(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(char(unit & 0xFF));
        bytes.push_back(char(unit >> 8));
    }
    return bytes;
}

std::string without_carriage_returns(std::string text) {
    std::erase(text, '\r');
    return text;
}

}  // namespace

command_shell choose_command_shell(const std::string& path) {
    if (std::string pwsh = find_program("pwsh", path); !pwsh.empty()) return {true, "PowerShell", std::move(pwsh)};
    std::string bash = find_program("bash", path);
    return {false, "bash", bash.empty() ? "/bin/bash" : std::move(bash)};
}

const command_shell& process_command_shell() {
    static const command_shell shell = [] {
        const char* path = std::getenv("PATH");
        return choose_command_shell(path ? path : "/usr/bin:/bin");
    }();
    return shell;
}

const std::string& command_shell_name() { return process_command_shell().name; }

std::vector<std::string> shell_command_argv(const command_shell& shell, const std::string& command) {
    if (!shell.powershell) return {shell.program, "--noprofile", "--norc", "-c", command};
    const std::string script = powershell_command_prefix + command;
    return {shell.program,      "-NoLogo", "-NoProfile",      "-NonInteractive",
            "-ExecutionPolicy", "Bypass",  "-EncodedCommand", base64_encode(utf16le_bytes(wide_from_utf8(script)))};
}

std::string run_command_description_start() { return "Run a " + command_shell_name() + " command"; }

std::string run_command_description() {
    return run_command_description_start() +
           " in the project folder and return its output and exit code. Don't start servers or programs that keep "
           "running (they are stopped at the timeout); websites are previewed with preview_url.";
}

nlohmann::json run_shell_command(const std::string& command, int timeout_s) {
    const command_shell& shell = process_command_shell();
    std::filesystem::path folder;
    {
        project_folder_lock lock;
        folder = project_folder();
    }
    const std::string cannot_start = "cannot start " + shell.name;
    // An empty folder would leave the command in this server's own working folder.
    if (folder.empty()) throw std::runtime_error(cannot_start);

    child_spec spec;
    spec.argv = shell_command_argv(shell, command);
    spec.env = current_environment();
    spec.working_folder = folder.string();
    spec.in = child_stream::null_device();
    spec.out = child_stream::pipe();
    spec.err = child_stream::same_as_stdout();
    // The HTTP worker thread waits for the command, so the shell ends with this process.
    spec.parent_death_signal = SIGKILL;

    child_run_options options;
    options.time_limit = std::chrono::seconds(timeout_s);
    options.after_kill_wait = std::chrono::seconds(5);
    options.keep_max = drain_keep_max;
    options.keep_after_trim = drain_keep_after_trim;

    child_run_result run;
    try {
        run = run_to_end(spec, options);
    } catch (const child_start_error&) {
        throw std::runtime_error(cannot_start);
    }
    int exit_code = run.exit_code < 0 ? 0 : run.exit_code;
    if (run.timed_out) exit_code = 1;
    return {{"exit_code", exit_code},
            {"output", cut_middle(without_carriage_returns(std::move(run.out)), output_limit)},
            {"timed_out", run.timed_out}};
}
