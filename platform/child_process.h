// Child processes: the one way this program starts another program. A child is started from an argv and an explicit
// environment, in its own process group (or session), with each standard stream a pipe, /dev/null, a descriptor of
// this process or a log file; its owner waits for it with a time limit, ends its whole group, reads its output on
// threads of their own, and reaps it exactly once.
//
// What the child gets
// - Standard streams as `child_spec` says; every other descriptor of this process is closed in the child, whether
//   or not it was opened close-on-exec. Pipe ends kept by this process are close-on-exec (pipe2(O_CLOEXEC)), so
//   concurrent spawns never leak one child's pipe into another.
// - Every signal disposition set back to default (SIGPIPE ignored here is default there) and an empty signal mask.
// - Its own process group (setpgid) or its own session (setsid); the group id is the child's pid.
// - Optionally PR_SET_PDEATHSIG and resource limits (address space, CPU seconds, file size).
// - The environment exactly as given: nothing of this process's environment unless the caller copied it in
//   (`current_environment`). Never call setenv to prepare a child's environment.
//
// How it is started
// - The child is created with clone(CLONE_VM | CLONE_VFORK) on a small stack of its own, as posix_spawn does: the
//   calling thread is suspended until the child has called execve or failed, and no page tables of this (possibly
//   very large) process are copied. (Thread-sanitizer builds fork instead: the sanitizer cannot follow a child
//   that shares its memory.) A step that fails in the child (program missing, folder missing, a limit refused) is
//   written to a close-on-exec error pipe, which the parent reads before `spawn_child` returns: it then reaps the
//   child and throws `child_start_error`, so the caller learns of the failure synchronously and no child is left.
// - PR_SET_PDEATHSIG fires when the *thread* that spawned the child ends, not the process. Spawn children that must
//   die with this process from a thread that lives as long as they should: a long-lived thread of the caller's own
//   (the launcher's UI thread), or `spawner_thread` / `process_spawner()` below.
//
// Reaping and signalling
// - Exactly one `child_process` owns each child and is the only party that reaps it (never waitpid(-1) anywhere).
// - The group is never signalled after its leader was reaped (the id could belong to another process by then):
//   `kill_group` and `signal` do nothing once the leader is reaped. To end programs the child left running in its
//   group, call `kill_group` after `wait_exit` said the leader ended and before `reap`.
// - A descendant that left the group (setsid) is out of reach of `kill_group`; it may still hold a pipe. Readers
//   therefore wait on the pipe and a `wake_event` together, and `output_drain::finish` is bounded in time.
// - Exit codes: WEXITSTATUS for a normal exit, 128 + signal number for a child ended by a signal.
//
// How the callers use it
// - A command with a time limit (run_command, document extraction): `run_to_end` with stdout a pipe, stderr
//   `same_as_stdout`, the time limit, the output caps and, for extraction, `address_space_limit`. It throws
//   `child_start_error`; the caller maps it to its own text ("cannot start ...").
// - A long-lived child that must end with this process (a connector): `process_spawner().spawn(spec)` with
//   `parent_death_signal = SIGKILL`, stdin and stdout pipes and stderr `file_append(log)`. A reader thread owns
//   `take_stdout()` and reads with `read_or_wake`; teardown is `kill_group()`, the reader's `wake_event` signalled
//   and the thread joined, then `reap()` (or the destructor).
// - The launcher's engine: `spawn_child` on the UI thread (which lives as long as the process) with the parent
//   death signal; stop is `kill_group()`, `close_stdin()`, `wait_exit(5000 ms)`, the reader woken and joined.
//
// Threads and locking
// - `spawn_child` is safe for concurrent use by multiple threads.
// - `child_process`: `wait_exit`, `running`, `reap`, `exit_code`, `kill_group` and `signal` may be called from any
//   thread at once; one mutex inside the child's shared state serializes reaping and signalling, and is never held
//   while waiting. Moving, `take_*` and destruction require external synchronization (one owner thread).
// - `output_drain` reads on a thread of its own; its buffer is handed over only by `finish`, after that thread has
//   been joined, so the buffer needs no lock. `finish` and the destructor are called by the owner thread.
// - `wake_event::signal` is safe from any thread (and async-signal-safe).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"

// Where one standard stream of a child goes.
struct child_stream {
    enum class kind {
        null_device,     // /dev/null
        pipe,            // a new pipe; this process keeps the other end (take_stdin / take_stdout / take_stderr)
        descriptor,      // a descriptor of this process (`fd`), e.g. 1 to share this process's stdout
        file_truncate,   // the file at `path`, created with mode 0600 or truncated
        file_append,     // the file at `path`, created with mode 0600 or appended to
        same_as_stdout,  // stderr only: the same open file as stdout (one pipe in write order, for example)
    };
    kind how = kind::null_device;
    int fd = -1;
    std::string path;

    static child_stream null_device() { return {}; }
    static child_stream pipe() { return {kind::pipe, -1, {}}; }
    static child_stream descriptor(int fd) { return {kind::descriptor, fd, {}}; }
    static child_stream file_truncate(std::string path) { return {kind::file_truncate, -1, std::move(path)}; }
    static child_stream file_append(std::string path) { return {kind::file_append, -1, std::move(path)}; }
    static child_stream same_as_stdout() { return {kind::same_as_stdout, -1, {}}; }
};

// Everything about a child to start.
struct child_spec {
    // argv[0] is the program: a path, or with `search_path` a name looked up along the PATH of `env` (not of this
    // process), as execvp does. The argv elements reach the program unchanged (no shell, no quoting).
    std::vector<std::string> argv;
    // "NAME=VALUE" entries, passed exactly as given.
    std::vector<std::string> env;
    bool search_path = false;
    // Working folder of the child; empty: this process's.
    std::string working_folder;
    child_stream in = child_stream::null_device();
    child_stream out = child_stream::null_device();
    child_stream err = child_stream::null_device();
    // setsid() (a new session, no controlling terminal) instead of setpgid(0, 0); the group id is the pid either way.
    bool new_session = false;
    // Signal sent to the child when the spawning thread ends (PR_SET_PDEATHSIG); 0: none.
    int parent_death_signal = 0;
    // Resource limits, soft and hard; 0: inherited. RLIMIT_AS in bytes, RLIMIT_CPU in seconds, RLIMIT_FSIZE in bytes.
    uint64_t address_space_limit = 0;
    uint64_t cpu_seconds_limit = 0;
    uint64_t file_size_limit = 0;
};

// A child could not be started. what() is "cannot start " + argv[0] + ": " + the system's reason, e.g.
// "cannot start /usr/bin/nothing: No such file or directory", or names the step that failed ("cannot start sh:
// working folder /x: No such file or directory", "cannot start sh: cannot open /x/log: Permission denied").
// Callers that show their own text (the run_command and launcher messages) catch it and throw theirs.
struct child_start_error : std::runtime_error {
    child_start_error(const std::string& text, int error_number) : std::runtime_error(text), error_number(error_number) {}
    int error_number;  // the errno of the failed step (ENOENT for a missing program or folder)
};

struct child_state;

// Owns one started child: its pid and pidfd, and this process's ends of its pipes. Movable, not copyable.
// Destruction of a child that was not reaped kills its group (SIGKILL) and reaps it, blocking until it has ended.
class child_process {
public:
    child_process();  // no child
    child_process(child_process&&) noexcept;
    child_process& operator=(child_process&&) noexcept;
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;
    ~child_process();

    bool valid() const { return state_ != nullptr; }
    pid_t pid() const;  // also the process group id; -1 when no child

    // This process's ends of the pipes (invalid when that stream is no pipe or was taken already). Moved out, so a
    // writer or a reader thread can own them; closing the stdin end gives the child end of input.
    file_descriptor take_stdin() { return std::move(stdin_); }
    file_descriptor take_stdout() { return std::move(stdout_); }
    file_descriptor take_stderr() { return std::move(stderr_); }
    int stdin_fd() const { return stdin_.get(); }
    int stdout_fd() const { return stdout_.get(); }
    int stderr_fd() const { return stderr_.get(); }
    void close_stdin() { stdin_.close(); }

    // Waits at most `limit` (a negative limit: without end) for the leader to end; true when it has ended (or was
    // reaped). Does not reap: the ended leader stays a zombie, which keeps its group id from being reused.
    bool wait_exit(std::chrono::milliseconds limit) const;
    bool running() const { return !wait_exit(std::chrono::milliseconds(0)); }
    // Sends `sig` to the whole process group; nothing once the leader was reaped. Programs the leader left running
    // in its group receive it even after the leader ended.
    void kill_group(int sig = SIGKILL) const;
    // Sends `sig` to the leader only; nothing once it was reaped.
    void signal(int sig) const;
    // Waits without end for the leader to end, reaps it (once; later calls return the same code) and returns its
    // exit code: WEXITSTATUS, or 128 + the signal number. -1 when the status could not be collected.
    int reap() const;
    // The exit code once reaped; nullopt before.
    std::optional<int> exit_code() const;
    // Once reaped: the signal that ended the child, or 0 when it exited (tells "exit 130" from "killed by SIGINT").
    // nullopt before.
    std::optional<int> killed_by() const;

private:
    friend child_process spawn_child(const child_spec& spec);
    std::unique_ptr<child_state> state_;
    file_descriptor stdin_, stdout_, stderr_;
};

// Starts a child as `spec` says; throws child_start_error when it cannot be started (nothing is left running then)
// and std::invalid_argument for an empty argv or a misused stream kind. Safe for concurrent use.
child_process spawn_child(const child_spec& spec);

// The first executable regular file named `name` in the folders of `path` (a PATH value, folders separated by ':'),
// as the folder joined with the name; a name holding '/' is taken as a path and returned when it is such a file.
// Empty folders of `path` are skipped (never the current folder). Empty when there is none. Never throws
// (except std::bad_alloc).
std::string find_program(const std::string& name, const std::string& path);

// This process's environment as "NAME=VALUE" entries, read at the call.
std::vector<std::string> current_environment();
// Sets NAME=VALUE in `env`: replaces every entry of that name (the first keeps its place) or appends one.
void set_in_environment(std::vector<std::string>& env, const std::string& name, const std::string& value);
// Removes every entry of that name.
void remove_from_environment(std::vector<std::string>& env, const std::string& name);
// The value of NAME in `env`; nullopt when absent (the first entry wins, as getenv does).
std::optional<std::string> find_in_environment(const std::vector<std::string>& env, const std::string& name);

// A long-lived thread that spawns children for others, so that children started with `parent_death_signal` live
// until this thread ends rather than until the short-lived thread that asked for them ends. Thread-safe; spawns
// run one at a time in request order.
class spawner_thread {
public:
    spawner_thread();
    // Ends the thread (children it spawned with a parent death signal receive it now) and joins it.
    ~spawner_thread();
    spawner_thread(const spawner_thread&) = delete;
    spawner_thread& operator=(const spawner_thread&) = delete;

    // Runs spawn_child(spec) on this thread and returns its result or rethrows its exception.
    child_process spawn(const child_spec& spec);

private:
    void run();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;  // [mutex_]
    bool stopping_ = false;                   // [mutex_]
    std::thread thread_;
};

// The process-wide spawner thread, created on first use and ended at process exit: the one to use for children that
// must end with this process (connectors).
spawner_thread& process_spawner();

// A wake-up descriptor (an eventfd) for readers that wait on a pipe: `signal` makes `read_or_wake` on it return.
// Once signalled it stays signalled.
class wake_event {
public:
    wake_event();  // throws std::runtime_error when the eventfd cannot be made
    wake_event(const wake_event&) = delete;
    wake_event& operator=(const wake_event&) = delete;

    void signal() const;
    bool signalled() const;
    int fd() const { return fd_.get(); }  // readable once signalled, for callers that poll themselves

private:
    file_descriptor fd_;
};

// The outcome of one read_or_wake.
enum class read_status { data, end, woken, timed_out, error };
struct read_result {
    read_status status = read_status::error;
    size_t bytes = 0;  // bytes read (data only)
};

// Waits until `fd` is readable, `wake` is signalled or `limit` passed (negative: no limit), then reads at most
// `size` bytes once. A signalled wake wins over readable data. EINTR is retried. `end` is end of file (every writer
// closed its end); `error` leaves errno set.
read_result read_or_wake(int fd, const wake_event& wake, void* buffer, size_t size,
                         std::chrono::milliseconds limit = std::chrono::milliseconds(-1));

// Reads one pipe on a thread of its own until end of file, in 8192-byte reads, keeping the output in a buffer.
// Whenever the buffer holds more than `keep_max` bytes, its beginning is dropped so that the last `keep_after_trim`
// bytes remain (the latest output is kept). Defaults keep everything.
class output_drain {
public:
    // Starts the thread; throws std::system_error when it cannot be started.
    explicit output_drain(file_descriptor pipe, size_t keep_max = SIZE_MAX, size_t keep_after_trim = SIZE_MAX);
    ~output_drain();  // stops reading at once and joins
    output_drain(const output_drain&) = delete;
    output_drain& operator=(const output_drain&) = delete;

    // Waits at most `grace` (negative: without end) for the end of the pipe, then stops reading, joins the thread,
    // closes the pipe and returns the bytes kept. Call it after the writers were ended (the child reaped, its group
    // killed): a descendant that left the group and still holds the pipe then delays the return by `grace` at most.
    // Only the first call returns the output; later calls return an empty string.
    std::string finish(std::chrono::milliseconds grace);
    // True once the pipe reached its end (every writer closed it).
    bool ended() const;

private:
    void run();
    file_descriptor pipe_;
    wake_event stop_;
    std::string buffer_;  // written only by the thread; read by finish after the join
    size_t keep_max_, keep_after_trim_;
    mutable std::mutex mutex_;
    std::condition_variable ended_cv_;
    bool ended_ = false;  // [mutex_]
    std::thread thread_;
};

// A whole run: start, wait, end the group, collect the output.
struct child_run_options {
    // Time limit for the leader; negative: none. When it strikes, the whole group gets SIGKILL.
    std::chrono::milliseconds time_limit{-1};
    // After the kill at the time limit, how long to wait more for the leader to end.
    std::chrono::milliseconds after_kill_wait{5000};
    // How long the output may still take to end after the group was killed and the leader reaped.
    std::chrono::milliseconds drain_grace{2000};
    // Bytes written to the child's stdin, which is then a pipe (replacing spec.in), closed after the last byte or
    // when the child stopped reading. Without input, stdin is spec.in.
    std::optional<std::string> input;
    // Trimming rule of the output buffers (see output_drain).
    size_t keep_max = SIZE_MAX;
    size_t keep_after_trim = SIZE_MAX;
};

struct child_run_result {
    int exit_code = -1;      // WEXITSTATUS, 128 + signal (137 after a kill at the time limit), -1 if unknown
    int killed_by = 0;       // the signal that ended the leader; 0 when it exited
    bool timed_out = false;  // the time limit struck while the leader was running
    std::string out;         // everything read from a stdout pipe (stderr too when it is same_as_stdout)
    std::string err;         // everything read from a stderr pipe
};

// Starts `spec` (its out and err streams that are pipes are drained on threads of their own) and runs it to its end
// on the calling thread: waits for the leader up to the time limit (on expiry: SIGKILL to the group, then at most
// after_kill_wait more), kills whatever is left of the group once the leader has ended (programs it started in the
// background), reaps the leader and finishes the drains. Throws child_start_error when the child cannot start.
// Safe for concurrent use; a child with a parent death signal ends with the calling thread.
child_run_result run_to_end(const child_spec& spec, const child_run_options& options = {});

// Exit code of a wait status: WEXITSTATUS, or 128 + the signal number.
int exit_code_of_status(int status);
