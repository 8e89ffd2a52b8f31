// run_command through the gate of a real `mivra serve` with "command" allowed: exit codes and output in write
// order, the time limit and the kill of the whole group, a program that left the group, standard input, large
// output, and the PowerShell command line when a pwsh is on the server's PATH.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "agent_user.h"
#include "common/text_helpers.h"

namespace fs = std::filesystem;
using nlohmann::json;
using clock_type = std::chrono::steady_clock;

namespace {

// A server whose settings allow every command, running with `path` as its PATH.
struct command_server {
    agent_user user;
    std::unique_ptr<serve_process> server;
    std::string token;

    explicit command_server(const std::string& path = "/usr/bin:/bin") {
        user.seed_settings({{"workspace", user.workspace.string()}, {"permissions", {{"command", "allow"}}}});
        serve_options options = user.options();
        options.env["PATH"] = path;
        server = std::make_unique<serve_process>(options);
        token = page_token(server->client()->Get("/simple")->body);
    }
    // The reply to run_command with `arguments`.
    json run(const json& arguments) const {
        auto c = server->client();
        c->set_read_timeout(std::chrono::seconds(120));
        auto res = c->Post("/agent/tool", {{"X-Mivra-Token", token}},
                           json{{"name", "run_command"}, {"arguments", arguments}}.dump(), "application/json");
        if (!res) throw std::runtime_error("no answer: " + httplib::to_string(res.error()));
        EXPECT_EQ(res->status, 200);
        return json::parse(res->body);
    }
    json result(const json& arguments) const {
        const json reply = run(arguments);
        EXPECT_EQ(reply["status"], "ok") << reply.dump().substr(0, 400);
        return reply["result"];
    }
};

// Processes whose command line is exactly `argv`.
std::vector<pid_t> processes_running(const std::vector<std::string>& argv) {
    std::string wanted;
    for (const std::string& a : argv) wanted += a + '\0';
    std::vector<pid_t> out;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(e.path() / "cmdline", std::ios::binary);
        const std::string cmdline((std::istreambuf_iterator<char>(in)), {});
        if (cmdline != wanted) continue;
        // A zombie (ended, not yet reaped by its parent) runs no more.
        std::ifstream stat(e.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const size_t paren = line.rfind(')');
        if (paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] == 'Z') continue;
        out.push_back(pid_t(std::stol(name)));
    }
    return out;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

TEST(RunCommandServe, OutputExitCodesAndTheProjectFolder) {
    command_server s;
    EXPECT_EQ(s.run({{"command", "echo one; echo two >&2; exit 3"}}).dump(),
              R"({"group":"command","result":{"exit_code":3,"output":"one\ntwo\n","timed_out":false},"status":"ok",)"
              R"("summary":"echo one; echo two >&2; exit 3"})");

    struct row {
        const char* command;
        json expected;
    };
    const std::string folder = fs::canonical(s.user.workspace).string();
    const row rows[] = {
        // No standard input: cat ends at once; the command runs in the project folder.
        {"cat; pwd", {{"exit_code", 0}, {"output", folder + "\n"}, {"timed_out", false}}},
        {"printf 'a\\r\\nb\\r\\r\\n'; printf x >&2; printf 'y\\n'", {{"exit_code", 0}, {"output", "a\nb\nxy\n"},
                                                                      {"timed_out", false}}},
        {"printf '%s\\n' 'caf\xC3\xA9 \xE2\x80\x99quoted\xE2\x80\x99'",
         {{"exit_code", 0}, {"output", "caf\xC3\xA9 \xE2\x80\x99quoted\xE2\x80\x99\n"}, {"timed_out", false}}},
        // Bytes that are not UTF-8 reach the page as U+FFFD.
        {"printf 'a\\377b'", {{"exit_code", 0}, {"output", "a\xEF\xBF\xBD" "b"}, {"timed_out", false}}},
        {"kill -TERM $$", {{"exit_code", 128 + SIGTERM}, {"output", ""}, {"timed_out", false}}},
    };
    for (const row& r : rows) EXPECT_EQ(s.result({{"command", r.command}}), r.expected) << r.command;

    // The time limit is read before the command: a wrong type fails before a missing command is noticed.
    const json wrong = s.run({{"timeout_s", "5"}});
    EXPECT_EQ(wrong["status"], "error");
    EXPECT_NE(wrong["result"].get<std::string>().find("type_error"), std::string::npos) << wrong.dump();
    EXPECT_EQ(s.run({{"timeout_s", 5}})["result"], "error: missing \"command\"");
}

TEST(RunCommandServe, TheTimeLimitEndsTheWholeGroup) {
    command_server s;
    const std::vector<std::string> sleeper = {"sleep", "31.7"};
    const auto start = clock_type::now();
    // A time limit of 1 s is raised to 5 s.
    const json result = s.result({{"command", "sleep 31.7 & sleep 31.7"}, {"timeout_s", 1}});
    const double took = seconds_since(start);
    EXPECT_EQ(result, (json{{"exit_code", 1}, {"output", ""}, {"timed_out", true}}));
    EXPECT_GE(took, 4.5);
    EXPECT_LT(took, 12.0);
    EXPECT_TRUE(processes_running(sleeper).empty());

    // A program left running in the background when the shell ends is ended too.
    const std::vector<std::string> background = {"sleep", "32.7"};
    EXPECT_EQ(s.result({{"command", "sleep 32.7 & echo started"}}),
              (json{{"exit_code", 0}, {"output", "started\n"}, {"timed_out", false}}));
    EXPECT_TRUE(processes_running(background).empty());
}

TEST(RunCommandServe, AProgramThatLeftTheGroupDoesNotHoldTheCall) {
    command_server s;
    const std::vector<std::string> detached = {"sleep", "300.25"};
    const auto start = clock_type::now();
    const json result = s.result({{"command", "setsid sleep 300.25 & echo left"}, {"timeout_s", 5}});
    const double took = seconds_since(start);
    EXPECT_EQ(result, (json{{"exit_code", 0}, {"output", "left\n"}, {"timed_out", false}}));
    EXPECT_LT(took, 10.0);
    // It escaped the group kill: end it here, by its id.
    for (pid_t pid : processes_running(detached)) kill(pid, SIGKILL);
}

TEST(RunCommandServe, LargeOutputIsCutInTheMiddle) {
    command_server s;
    const json result = s.result({{"command", "head -c 10000000 /dev/zero | tr '\\0' x; echo; echo end"}});
    const std::string output = result["output"];
    EXPECT_LT(output.size(), 12100u);
    EXPECT_EQ(output.substr(0, 6000), std::string(6000, 'x'));
    EXPECT_EQ(output.substr(output.size() - 6000), std::string(6000 - 5, 'x') + "\nend\n");
    const size_t mark = output.find("\n[... ");
    ASSERT_EQ(mark, 6000u);
    // Only the latest 2 to 4 MiB were kept before the cut.
    const long cut = std::stol(output.substr(mark + 6));
    EXPECT_GE(cut, (2l << 20) - 12000);
    EXPECT_LE(cut, (4l << 20) + 8192);
    EXPECT_EQ(result["exit_code"], 0);
}

TEST(RunCommandServe, AFailedStartAndAPwshOnThePath) {
    // A stand-in pwsh that prints its arguments, one a line.
    temp_folder bin;
    write_text(bin / "pwsh", "#!/bin/sh\nprintf '%s\\n' \"$@\"\n");
    chmod((bin / "pwsh").c_str(), 0755);
    command_server s(bin.path.string() + ":/usr/bin:/bin");
    const std::string command = "Write-Output 'caf\xC3\xA9'";
    const json result = s.result({{"command", command}});
    const std::string output = result["output"];
    const std::string head = "-NoLogo\n-NoProfile\n-NonInteractive\n-ExecutionPolicy\nBypass\n-EncodedCommand\n";
    ASSERT_EQ(output.substr(0, head.size()), head);
    const std::string encoded = output.substr(head.size(), output.size() - head.size() - 1);
    std::u16string expected = wide_from_utf8(
        "$ProgressPreference='SilentlyContinue'; [Console]::OutputEncoding=[Text.Encoding]::UTF8; "
        "$OutputEncoding=[Text.Encoding]::UTF8; " + command);
    std::string bytes;
    for (char16_t u : expected) bytes += {char(u & 0xFF), char(u >> 8)};
    EXPECT_EQ(encoded, base64_encode(bytes));

    // The project folder is gone: the shell cannot start there.
    fs::remove_all(s.user.workspace);
    EXPECT_EQ(s.run({{"command", "pwd"}}).dump(),
              R"({"group":"command","result":"error: cannot start PowerShell","status":"error","summary":"pwd"})");
}
