// The real `mivra` program as a child process: usage, dispatch errors and the stop handler.
#include "cli/run_child.h"
#include "platform/signals.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string usage =
    "usage:\n"
    "  mivra run    <pack> -p \"prompt\" [-n 256] [options]\n"
    "  mivra serve  <pack> [--host 127.0.0.1] [--port 8080] [options]   (chat UI at /)\n"
    "  mivra golden <pack> <golden.jsonl> [--prompts N] [options]\n"
    "  mivra start  (menu: pick, download or update a model, serve it, open the chat page)\n"
    "  mivra path on | off  (whether `mivra` works from any folder; on after the first start)\n"
    "  mivra pull   <owner/name> [out_dir] [--lowbit]   (download or update a pack from Hugging Face)\n"
    "  mivra pack   <model.gguf> <out_dir>   (GGUF -> Mivra pack, run once per model)\n"
    "  mivra selftest\n"
    "options: -t 4  -c 4096  --cache-mb 0 (auto)  --io-threads 4  --protect F  --prefetch 0 (-1 = off)\n"
    "         --kv-disk-mb 4096 (saved prompt KV, 0 = off)  -np 1 (parallel requests)\n"
    "lossy:   --mode exact|balanced|fast  --skip-below W  --prefer-cached D  --expert-mass M\n"
    "         --lowbit (needs a pack made with --lowbit)\n";

child_result mivra(std::vector<std::string> args) {
    args.insert(args.begin(), program_path("mivra"));
    return run_child(args);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// True once the process has a handler for `sig` (the SigCgt mask of /proc/<pid>/status).
bool catches(pid_t pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigCgt:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    return false;
}

}  // namespace

TEST(Main, UsageAndDispatchErrors) {
    struct row {
        std::vector<std::string> args;
        std::string err;
    };
    const row rows[] = {
        {{}, usage},
        {{"run"}, usage},
        {{"bogus"}, usage},
        {{"Run", "pack"}, "unknown command Run\n"},  // command words are case-sensitive
        {{"bogus", "pack", "-n", "5"}, "unknown command bogus\n"},
        {{"bogus", "pack", "-n"}, "error: missing value for -n\n"},  // options are parsed first
        {{"run", "pack", "-c", "abc"}, "error: invalid stoi argument\n"},
        {{"serve", "pack", "--port", "99999999999"}, "error: stoi argument out of range\n"},
        {{"serve", "pack", "--kv-disk-mb", "-5"}, "error: stoull argument out of range\n"},
        {{"golden", "pack", "--cache-mb", "x"}, "error: invalid stoull argument\n"},
        {{"golden", "pack", "--protect", "1e99"}, "error: stof argument out of range\n"},
        {{"imatrix", "pack", "--expert-mass", "?"}, "error: invalid stof argument\n"},
        {{"run", "pack", "-t", "0"}, "error: -t must be between 1 and 512\n"},
    };
    for (const row& r : rows) {
        const child_result c = mivra(r.args);
        const std::string what = r.args.empty() ? "(none)" : r.args[0];
        EXPECT_EQ(c.exit_code, 1) << what;
        EXPECT_EQ(c.err, r.err) << what;
        EXPECT_EQ(c.out, "") << what;
    }
}

TEST(Main, PackAloneReachesThePackCommand) {
    const child_result c = mivra({"pack"});
    EXPECT_EQ(c.exit_code, 1);
    EXPECT_EQ(c.err.rfind("usage: mivra pack model.gguf out_dir ", 0), 0u) << c.err;
}

// The GGUF reader's own lines do not precede the command's error: stderr holds exactly our line.
TEST(Main, PackOfAMissingOrDamagedFileSaysOnlyOurLine) {
    const std::string folder = testing::TempDir() + "mivra-pack-errors";
    std::filesystem::create_directories(folder);
    const std::string damaged = folder + "/damaged.gguf";
    std::ofstream(damaged, std::ios::binary) << "garbage, no GGUF at all";
    for (const std::string& model : {folder + "/missing.gguf", damaged}) {
        const child_result c = mivra({"pack", model, folder + "/out"});
        EXPECT_EQ(c.exit_code, 1);
        EXPECT_EQ(c.err, "mivra-pack: cannot read GGUF " + model + "\n");
    }
    std::filesystem::remove_all(folder);
}

// A one-shot command stopped from outside did not do its work: it ends with 130, after the stop message.
TEST(Main, InterruptedPackExitsWith130) {
    char pattern[] = "/tmp/mivra-stop-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    // Opening a FIFO blocks until a writer comes, so the command is reliably still running when stopped.
    ASSERT_EQ(mkfifo((dir + "/model.gguf").c_str(), 0600), 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        child_process child = start_child({program_path("mivra"), "pack", dir + "/model.gguf", dir + "/out"},
                                          dir + "/out.txt", dir + "/err.txt");
        const pid_t pid = child.pid();
        for (int i = 0; i < 1000 && !catches(pid, sig); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(catches(pid, sig));
        child.signal(sig);
        const child_result r = wait_child(child);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, 130);
        EXPECT_EQ(slurp(dir + "/err.txt"), "\n  Stopping Mivra.\n");
    }
    std::filesystem::remove_all(dir);
}

// The stop handler of a server ends the process with 0; SIGPIPE is ignored so a dead pipe is only an error.
TEST(StopHandler, ServerExitCodeAndSigpipe) {
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipes[0]);
        dup2(pipes[1], 2);
        ignore_sigpipe();
        install_stop_handler("stopping\n");
        set_stop_exit_code(0);
        int dead[2];
        if (pipe(dead) != 0) _exit(3);
        close(dead[0]);
        if (write(dead[1], "x", 1) != -1 || errno != EPIPE) _exit(4);
        raise(SIGTERM);
        _exit(5);
    }
    close(pipes[1]);
    char buf[64] = {};
    std::string err;
    for (ssize_t n; (n = read(pipes[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<size_t>(n));
    close(pipes[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(err, "stopping\n");
}
