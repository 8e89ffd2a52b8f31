// Commands of the run_command tool: one command line run by a shell in the project folder, hidden from the user,
// with no standard input, a time limit, its standard output and standard error read together from one pipe, and
// every program it started ended before the call returns.
//
// The shell is chosen once per process, at first use, from this process's PATH: PowerShell (`pwsh`) when it is
// there, else bash. PowerShell gets the command with a prefix that turns off progress bars and asks for UTF-8
// output, encoded as UTF-16LE Base64 (-EncodedCommand); bash gets it unchanged (`bash --noprofile --norc -c`).
//
// A command runs in its own process group under the child-process layer (platform/child_process.h): at the time
// limit the whole group is killed; after the shell ended, whatever it left running in its group (programs started
// in the background) is killed too. A program that left the group (setsid) escapes those kills, but the call still
// returns: the output pipe it may hold is read for at most a few seconds more.
//
// Threads: run_shell_command runs on the calling thread (an HTTP worker) plus one output-drain thread of its own;
// any number of calls may run at once. It takes agent_state.agent_mutex only for the moment of reading the project
// folder (when this thread has no project_override); the caller must not hold it.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// A shell that runs commands: its name for users and the model ("PowerShell" or "bash") and its program file.
struct command_shell {
    bool powershell = false;
    std::string name;
    std::string program;
};

// The shell for a PATH value: pwsh when that PATH has it, else bash from that PATH (or /bin/bash).
command_shell choose_command_shell(const std::string& path);
// The shell of this process, chosen by choose_command_shell from this process's PATH at the first call. Safe from
// any thread.
const command_shell& process_command_shell();
// process_command_shell().name.
const std::string& command_shell_name();

// The argument list that runs `command` with `shell`:
//   PowerShell: program -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -EncodedCommand BASE64, BASE64
//               being the UTF-16LE bytes of powershell_command_prefix + command (ill-formed UTF-8 as U+FFFD);
//   bash:       program --noprofile --norc -c command.
std::vector<std::string> shell_command_argv(const command_shell& shell, const std::string& command);
// Put before every PowerShell command: no progress bars, UTF-8 in and out.
extern const char* const powershell_command_prefix;

// The run_command tool's description for the model, naming the shell that runs it: "Run a bash command in the
// project folder and return its output and exit code. Don't start ..." (with PowerShell: "Run a PowerShell
// command ..."). run_command_description_start() is its beginning up to the shell's name ("Run a bash command").
std::string run_command_description_start();
std::string run_command_description();

// Runs `command` with process_command_shell() in the project folder (project_folder()) for at most timeout_s
// seconds and returns {"exit_code", "output", "timed_out"}:
// - "exit_code": the shell's exit code (128 + the signal number when a signal ended it); 1 when the time limit
//   struck; 0 when it could not be collected;
// - "timed_out": the shell was still running when the limit struck;
// - "output": everything the command's programs wrote on standard output and standard error, in write order, of
//   which only the latest 2 to 4 MiB are kept, every CR byte removed, cut in the middle to 12000 bytes (cut_middle).
//   The bytes are passed on as written (not checked as UTF-8).
// Throws std::runtime_error "cannot start " + command_shell_name() when the shell cannot be started: its program is
// missing, the project folder is empty or missing, or the command is too long for an argument. After the return no
// program of the command is left in its process group.
nlohmann::json run_shell_command(const std::string& command, int timeout_s);
