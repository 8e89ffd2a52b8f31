// The child-process layer with real children: what a child inherits (descriptors, signals, environment, streams,
// limits), how it ends (exit codes, time limits, group kills, parent death) and how its output is drained.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/child_process.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
namespace fs = std::filesystem;

child_spec shell(const std::string& script) {
    child_spec s;
    s.argv = {"/bin/sh", "-c", script};
    s.env = {"PATH=/usr/bin:/bin"};
    s.out = child_stream::pipe();
    s.err = child_stream::pipe();
    return s;
}

child_spec program(const std::string& path) {
    child_spec s;
    s.argv = {path};
    return s;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// True once no live process has this pid (gone, or a zombie waiting for a reaper that is not us).
bool process_gone(pid_t pid, std::chrono::milliseconds within) {
    const auto deadline = clock_type::now() + within;
    for (;;) {
        const std::string stat = file_text("/proc/" + std::to_string(pid) + "/stat");
        const size_t close = stat.rfind(')');
        if (stat.empty() || (close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0)) return true;
        if (clock_type::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

// "N -> target" lines of `ls -l /proc/self/fd` as a map from descriptor number to target.
std::map<int, std::string> descriptors_in(const std::string& listing) {
    std::map<int, std::string> out;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        const size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        const size_t start = line.rfind(' ', arrow - 1) + 1;
        out[std::stoi(line.substr(start, arrow - start))] = line.substr(arrow + 4);
    }
    return out;
}

std::string pipe_name(int fd) {
    struct stat st {};
    fstat(fd, &st);
    return "pipe:[" + std::to_string(st.st_ino) + "]";
}

int open_descriptor_count() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

struct temp_folder {
    std::string path;
    temp_folder() {
        std::string pattern = (fs::temp_directory_path() / "mivra-child-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~temp_folder() { fs::remove_all(path); }
};

}  // namespace

// Descriptors of this process, close-on-exec or not, never reach the child: only its three streams do.
TEST(ChildProcess, ChildSeesNoDescriptorOfTheParent) {
    temp_folder dir;
    const std::string file = dir.path + "/open-file";
    const int kept_file = open(file.c_str(), O_WRONLY | O_CREAT, 0600);  // deliberately not close-on-exec
    const int listener = socket(AF_INET, SOCK_STREAM, 0);              // neither
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    struct stat socket_stat {};
    fstat(listener, &socket_stat);

    const child_run_result r = run_to_end(shell("exec ls -l /proc/self/fd"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto fds = descriptors_in(r.out);
    for (const auto& [fd, target] : fds) {
        EXPECT_NE(target, file);
        EXPECT_NE(target, "socket:[" + std::to_string(socket_stat.st_ino) + "]");
        // 0, 1 and 2, and the descriptor ls opened itself to read the folder.
        if (fd > 2) {
            EXPECT_NE(target.find("/fd"), std::string::npos) << fd << " -> " << target;
        }
    }
    EXPECT_EQ(fds.at(0), "/dev/null");
    EXPECT_TRUE(fds.at(1).starts_with("pipe:[")) << fds.at(1);
    close(kept_file);
    close(listener);
}

// Eight threads spawning at once: each child holds only the pipes made for it, and no pipe end stays open here.
TEST(ChildProcess, ConcurrentSpawnsSeeOnlyTheirOwnPipes) {
    const int before = open_descriptor_count();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 10; ++round) {
                child_spec s = shell("exec ls -l /proc/self/fd");
                s.in = child_stream::pipe();
                child_process child = spawn_child(s);
                const std::set<std::string> own = {pipe_name(child.stdin_fd()), pipe_name(child.stdout_fd()),
                                                   pipe_name(child.stderr_fd())};
                output_drain out(child.take_stdout());
                output_drain err(child.take_stderr());
                child.close_stdin();
                const int code = child.reap();
                const std::string listing = out.finish(-1ms);
                for (const auto& [fd, target] : descriptors_in(listing)) {
                    if (target.starts_with("pipe:") && !own.count(target)) ++failures;
                }
                if (code != 0 || descriptors_in(listing).size() < 3) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(open_descriptor_count(), before);
}

// A child starts with every disposition at default and nothing blocked, whatever this thread ignores or blocks:
// a pipeline whose reader quits ends its writer by SIGPIPE.
TEST(ChildProcess, SignalsAreDefaultInTheChild) {
    struct sigaction ignore {}, old_pipe{}, old_usr2{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old_pipe);
    sigaction(SIGUSR2, &ignore, &old_usr2);
    sigset_t blocked, old_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);

    const child_run_result status = run_to_end(shell("exec grep -E '^Sig(Ign|Blk)' /proc/self/status"));
    child_spec pipeline;
    pipeline.argv = {"/bin/bash", "-c", "yes | head -n 1 >/dev/null; echo ${PIPESTATUS[0]}"};
    pipeline.env = {"PATH=/usr/bin:/bin"};
    pipeline.out = child_stream::pipe();
    const child_run_result yes = run_to_end(pipeline);

    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGPIPE, &old_pipe, nullptr);
    sigaction(SIGUSR2, &old_usr2, nullptr);
    EXPECT_EQ(status.out, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    EXPECT_EQ(yes.out, "141\n");
}

TEST(ChildProcess, EnvironmentIsPassedExactly) {
    child_spec s;
    s.argv = {"/usr/bin/env"};
    s.env = {"A=1", "B=two words", "EMPTY=", "MULTI=line\nbreak"};
    s.out = child_stream::pipe();
    EXPECT_EQ(run_to_end(s).out, "A=1\nB=two words\nEMPTY=\nMULTI=line\nbreak\n");
    s.env.clear();
    EXPECT_EQ(run_to_end(s).out, "");

    std::vector<std::string> env = {"PATH=/a", "HOME=/h", "PATH=/b", "PATHS=/c"};
    EXPECT_EQ(find_in_environment(env, "PATH"), "/a");
    EXPECT_EQ(find_in_environment(env, "PAT"), std::nullopt);
    set_in_environment(env, "PATH", "/new");
    EXPECT_EQ(env, (std::vector<std::string>{"PATH=/new", "HOME=/h", "PATHS=/c"}));
    set_in_environment(env, "NEW", "x=y");
    remove_from_environment(env, "HOME");
    EXPECT_EQ(env, (std::vector<std::string>{"PATH=/new", "PATHS=/c", "NEW=x=y"}));
    EXPECT_FALSE(current_environment().empty());
}

// Exit codes: the exit status, or 128 + the signal that ended the child.
TEST(ChildProcess, ExitCodes) {
    const struct {
        const char* script;
        int code;
    } cases[] = {
        {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -9 $$", 128 + 9}, {"kill -TERM $$", 128 + 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        const child_run_result r = run_to_end(shell(c.script));
        EXPECT_EQ(r.exit_code, c.code);
        EXPECT_FALSE(r.timed_out);
    }
    child_process child = spawn_child(shell("exec sleep 300"));
    EXPECT_FALSE(child.exit_code());
    EXPECT_TRUE(child.running());
    child.signal(SIGKILL);
    EXPECT_EQ(child.reap(), 137);
    EXPECT_EQ(child.exit_code(), 137);
    EXPECT_EQ(child.reap(), 137);
    EXPECT_FALSE(child.running());
    child.kill_group(SIGKILL);  // after the reap: nothing is signalled
}

// A child that cannot start is reported when spawn_child returns, with the reason, and leaves no process behind.
TEST(ChildProcess, StartFailuresAreReportedSynchronously) {
    temp_folder dir;
    const std::string not_executable = dir.path + "/plain";
    std::ofstream(not_executable) << "#!/bin/sh\n";
    fs::create_directory(dir.path + "/bin");
    const std::string script = dir.path + "/bin/only-here";
    std::ofstream(script) << "#!/bin/sh\necho found\n";
    fs::permissions(script, fs::perms::owner_all);

    child_spec missing_folder = shell("true");
    missing_folder.working_folder = dir.path + "/none";
    child_spec bad_log = shell("true");
    bad_log.err = child_stream::file_append(dir.path + "/none/x.log");
    child_spec unsearched;
    unsearched.argv = {"only-here"};
    unsearched.search_path = true;
    unsearched.env = {"PATH=/usr/bin:/bin"};
    const struct {
        child_spec spec;
        std::string text;
        int error;
    } cases[] = {
        {program("/nonexistent/program"), "cannot start /nonexistent/program: No such file or directory", ENOENT},
        {program(not_executable), "cannot start " + not_executable + ": Permission denied", EACCES},
        {missing_folder, "cannot start /bin/sh: working folder " + dir.path + "/none: No such file or directory",
         ENOENT},
        {bad_log, "cannot start /bin/sh: cannot open " + dir.path + "/none/x.log: No such file or directory", ENOENT},
        {unsearched, "cannot start only-here: No such file or directory", ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            spawn_child(c.spec);
            ADD_FAILURE() << "started";
        } catch (const child_start_error& e) {
            EXPECT_EQ(e.what(), c.text);
            EXPECT_EQ(e.error_number, c.error);
        }
    }
    // Nothing is left to reap.
    siginfo_t info{};
    EXPECT_EQ(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), -1);
    EXPECT_EQ(errno, ECHILD);

    // The PATH searched is the child's, not this process's.
    unsearched.env = {"PATH=/nowhere:" + dir.path + "/bin:/usr/bin:/bin"};
    unsearched.out = child_stream::pipe();
    EXPECT_EQ(run_to_end(unsearched).out, "found\n");
    EXPECT_THROW(spawn_child(child_spec{}), std::invalid_argument);
}

// The standard streams: /dev/null input, one pipe for both outputs in write order, log files made 0600 and
// truncated or appended to, a descriptor of this process, and the working folder.
TEST(ChildProcess, StreamsAndWorkingFolder) {
    temp_folder dir;
    child_spec s = shell("echo one; echo two >&2; cat; echo three; pwd");
    s.err = child_stream::same_as_stdout();
    s.working_folder = dir.path;
    EXPECT_EQ(run_to_end(s).out, "one\ntwo\nthree\n" + dir.path + "\n");

    const std::string log = dir.path + "/child.log";
    child_spec logged = shell("echo out; echo err >&2");
    logged.out = child_stream::file_truncate(log);
    logged.err = child_stream::file_append(log);
    run_to_end(logged);
    EXPECT_EQ(file_text(log), "out\nerr\n");
    EXPECT_EQ(fs::status(log).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    logged.out = child_stream::file_append(log);
    run_to_end(logged);
    EXPECT_EQ(file_text(log), "out\nerr\nout\nerr\n");
    logged.out = child_stream::file_truncate(log);
    logged.err = child_stream::null_device();
    run_to_end(logged);
    EXPECT_EQ(file_text(log), "out\n");

    // A descriptor of this process, even one of 0..2, handed to another stream number.
    const int fd = open(log.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    child_spec swapped = shell("echo to-stderr >&2");
    swapped.err = child_stream::descriptor(fd);
    run_to_end(swapped);
    close(fd);
    EXPECT_EQ(file_text(log), "to-stderr\n");

    child_run_options with_input;
    with_input.input = "line 1\nline 2\n";
    EXPECT_EQ(run_to_end(shell("cat"), with_input).out, "line 1\nline 2\n");
    // Input a child never reads ends with it (this test program does not ignore SIGPIPE).
    with_input.input = std::string(4 << 20, 'x');
    EXPECT_EQ(run_to_end(shell("exit 4"), with_input).exit_code, 4);
}

TEST(ChildProcess, ResourceLimits) {
    child_spec s = shell("grep -E '^Max (address space|cpu time|file size)' /proc/self/limits | tr -s ' '");
    s.address_space_limit = 2ull << 30;
    s.cpu_seconds_limit = 700;
    s.file_size_limit = 1 << 20;
    EXPECT_EQ(run_to_end(s).out,
              "Max cpu time 700 700 seconds \n"
              "Max file size 1048576 1048576 bytes \n"
              "Max address space 2147483648 2147483648 bytes \n");
    temp_folder dir;
    child_spec big = shell("head -c 2000000 /dev/zero > " + dir.path + "/big");
    big.file_size_limit = 1 << 20;
    EXPECT_EQ(run_to_end(big).exit_code, 128 + SIGXFSZ);
}

// The time limit kills the whole group, the grandchild included; a leader that ends by itself takes the programs
// it left in the background with it.
TEST(ChildProcess, TimeLimitAndGroupKillEndGrandchildren) {
    child_run_options limited;
    limited.time_limit = 1s;  // time enough for the shell to print the pid
    const auto start = clock_type::now();
    const child_run_result r = run_to_end(shell("sleep 300 & echo $!; wait"), limited);
    EXPECT_LT(clock_type::now() - start, 20s);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_code, 137);
    EXPECT_TRUE(process_gone(std::stoi(r.out), 10s));

    const auto start2 = clock_type::now();
    const child_run_result background = run_to_end(shell("sleep 300 & echo $!"));
    EXPECT_LT(clock_type::now() - start2, 20s);
    EXPECT_FALSE(background.timed_out);
    EXPECT_EQ(background.exit_code, 0);
    EXPECT_TRUE(process_gone(std::stoi(background.out), 10s));

    // Dropping a running child ends its group too.
    pid_t grandchild = -1;
    {
        child_process child = spawn_child(shell("sleep 300 & echo $!; wait"));
        char buf[64] = {};
        wake_event never;
        const read_result got = read_or_wake(child.stdout_fd(), never, buf, sizeof buf - 1, 5s);
        ASSERT_EQ(got.status, read_status::data);
        grandchild = std::atoi(buf);
    }
    EXPECT_TRUE(process_gone(grandchild, 10s));
}

// A descendant that left the group (setsid) keeps the pipe open: the drain still ends after its grace period.
TEST(ChildProcess, DrainEndsWhenADetachedDescendantHoldsThePipe) {
    temp_folder dir;
    // The leader prints the descendant's pid once the descendant is in its own session, then ends.
    const std::string script = "setsid sh -c 'echo $$ > pid.tmp; mv pid.tmp pid; exec sleep 300' &"
                               " while [ ! -s pid ]; do sleep 0.01; done; cat pid; rm pid";
    child_spec s = shell(script);
    s.working_folder = dir.path;
    child_run_options o;
    o.drain_grace = 500ms;
    const auto start = clock_type::now();
    const child_run_result r = run_to_end(s, o);
    const auto took = clock_type::now() - start;
    const pid_t detached = std::stoi(r.out);
    EXPECT_FALSE(process_gone(detached, 0ms));  // out of the group's reach, as expected
    kill(detached, SIGKILL);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 20s);

    // The same through read_or_wake: a wake-up ends a read that would otherwise wait for ever.
    child_process child = spawn_child(s);
    char buf[64] = {};
    wake_event wake;
    ASSERT_EQ(read_or_wake(child.stdout_fd(), wake, buf, sizeof buf - 1, 5s).status, read_status::data);
    const pid_t second = std::atoi(buf);
    EXPECT_EQ(child.reap(), 0);
    EXPECT_EQ(read_or_wake(child.stdout_fd(), wake, buf, sizeof buf, 100ms).status, read_status::timed_out);
    std::thread waker([&] {
        std::this_thread::sleep_for(100ms);
        wake.signal();
    });
    EXPECT_EQ(read_or_wake(child.stdout_fd(), wake, buf, sizeof buf).status, read_status::woken);
    waker.join();
    EXPECT_TRUE(wake.signalled());
    kill(second, SIGKILL);
}

// Output past the cap keeps the latest bytes: more than keep_max drops the beginning down to keep_after_trim.
TEST(ChildProcess, DrainKeepsTheLatestOutputUnderItsCap) {
    child_run_options o;
    o.keep_max = 4 << 20;
    o.keep_after_trim = 2 << 20;
    const child_run_result r = run_to_end(shell("head -c 10000000 /dev/zero | tr '\\0' a; echo END"), o);
    EXPECT_GE(r.out.size(), size_t(2 << 20));
    EXPECT_LE(r.out.size(), size_t(4 << 20));
    EXPECT_TRUE(r.out.ends_with("aaaEND\n"));
    EXPECT_EQ(r.out.find_first_not_of('a'), r.out.size() - 4);
}

// PR_SET_PDEATHSIG follows the spawning thread: a child started from a short-lived thread dies with that thread,
// one started from a spawner thread lives until the spawner ends.
TEST(ChildProcess, ParentDeathSignalFollowsTheSpawningThread) {
    child_spec s = shell("exec sleep 300");
    s.parent_death_signal = SIGKILL;
    s.out = s.err = child_stream::null_device();

    child_process from_short_thread;
    std::thread([&] { from_short_thread = spawn_child(s); }).join();
    EXPECT_TRUE(from_short_thread.wait_exit(3s));
    EXPECT_EQ(from_short_thread.reap(), 137);

    std::optional<spawner_thread> spawner(std::in_place);
    child_process from_spawner;
    std::thread([&] { from_spawner = spawner->spawn(s); }).join();
    EXPECT_FALSE(from_spawner.wait_exit(300ms));
    spawner.reset();
    EXPECT_TRUE(from_spawner.wait_exit(3s));
    EXPECT_EQ(from_spawner.reap(), 137);

    EXPECT_THROW(process_spawner().spawn(program("/nonexistent")), child_start_error);
}

// wait_exit leaves the ended leader unreaped, so its group can still be signalled; reaping and signalling from
// several threads at once is safe.
TEST(ChildProcess, WaitDoesNotReapAndCallsMayRace) {
    child_process child = spawn_child(shell("sleep 300 & echo $!"));
    ASSERT_TRUE(child.wait_exit(5s));
    EXPECT_FALSE(child.exit_code());
    EXPECT_TRUE(process_gone(child.pid(), 0ms));  // a zombie
    char buf[64] = {};
    wake_event never;
    ASSERT_EQ(read_or_wake(child.stdout_fd(), never, buf, sizeof buf - 1, 5s).status, read_status::data);
    const pid_t background = std::atoi(buf);
    EXPECT_FALSE(process_gone(background, 0ms));
    child.kill_group(SIGKILL);
    EXPECT_TRUE(process_gone(background, 10s));

    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int k = 0; k < 100; ++k) child.kill_group(SIGKILL);
            EXPECT_EQ(child.reap(), 0);
        });
    }
    for (auto& t : threads) t.join();
}
