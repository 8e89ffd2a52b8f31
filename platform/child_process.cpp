#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>

extern char** environ;

struct child_state {
    pid_t pid = -1;
    file_descriptor pidfd;  // -1 on kernels without pidfd_open; closed only with the state
    std::mutex mutex;
    bool reaped = false;  // [mutex]
    int code = -1;        // [mutex] valid once reaped
    int signal = 0;       // [mutex] the signal that ended it, once reaped
};

namespace {

// The steps of the child between clone and execve, for the error text of the one that failed.
enum class child_step : int { none, session, group, parent_death, limit, folder, streams, exec };

// What the child writes on the error pipe when a step failed (one write, far below PIPE_BUF).
struct child_failure {
    child_step step;
    int error;
};

// Everything the child needs, prepared by the parent: the child only reads it and calls the kernel directly. It
// shares this memory with the suspended parent (CLONE_VM | CLONE_VFORK), but reports a failure through the
// close-on-exec error pipe, so the same child code also serves a forked child (thread-sanitizer builds).
struct child_plan {
    const char* const* programs = nullptr;  // candidates for execve, in order; null-terminated
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* folder = nullptr;  // null: stay
    int streams[3] = {-1, -1, -1};
    bool new_session = false;
    int parent_death_signal = 0;
    pid_t parent_pid = 0;
    struct limit {
        int resource;
        uint64_t value;
    } limits[3] = {};
    int n_limits = 0;
    long max_fd = 1024;  // for closing descriptors one by one where close_range is missing
    int error_pipe = -1;  // write end, close-on-exec: end of file for the parent once execve succeeded
};

// Only direct system calls from here to execve: the child runs on the parent's memory and thread-local storage,
// so it must not take a lock, allocate, or run a sanitizer's bookkeeping. Signals are blocked throughout, until
// every disposition is back to default.
#define MIVRA_CHILD_CODE __attribute__((noinline, no_sanitize("address", "thread", "undefined")))

[[noreturn]] MIVRA_CHILD_CODE void child_fail(child_plan* plan, child_step step) {
    const child_failure failure = {step, errno};
    syscall(SYS_write, plan->error_pipe, &failure, sizeof failure);
    syscall(SYS_exit_group, 127);
    __builtin_unreachable();
}

MIVRA_CHILD_CODE int child_main(void* arg) {
    child_plan* plan = static_cast<child_plan*>(arg);

    // An all-zero kernel sigaction is SIG_DFL with no flags and an empty mask, whatever the layout of the arch.
    const uint64_t default_action[4] = {0, 0, 0, 0};
    for (int sig = 1; sig <= 64; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) syscall(SYS_rt_sigaction, sig, default_action, nullptr, 8);
    }

    if (plan->new_session) {
        if (syscall(SYS_setsid) < 0) child_fail(plan, child_step::session);
    } else if (syscall(SYS_setpgid, 0, 0) != 0) {
        child_fail(plan, child_step::group);
    }
    if (plan->parent_death_signal != 0) {
        if (syscall(SYS_prctl, PR_SET_PDEATHSIG, plan->parent_death_signal, 0, 0, 0) != 0) {
            child_fail(plan, child_step::parent_death);
        }
        // The parent may have gone before the request took effect; nobody waits for this child then.
        if (syscall(SYS_getppid) != plan->parent_pid) syscall(SYS_exit_group, 127);
    }
    for (int i = 0; i < plan->n_limits; ++i) {
        const uint64_t both[2] = {plan->limits[i].value, plan->limits[i].value};
        if (syscall(SYS_prlimit64, 0, plan->limits[i].resource, both, nullptr) != 0) child_fail(plan, child_step::limit);
    }
    if (plan->folder && syscall(SYS_chdir, plan->folder) != 0) child_fail(plan, child_step::folder);

    // Copies above 2 first, so a stream whose source is one of 0..2 is not overwritten before it was used.
    long copies[3];
    for (int i = 0; i < 3; ++i) {
        copies[i] = syscall(SYS_fcntl, plan->streams[i], F_DUPFD_CLOEXEC, 3);
        if (copies[i] < 0) child_fail(plan, child_step::streams);
    }
    for (int i = 0; i < 3; ++i) {
        if (syscall(SYS_dup3, copies[i], i, 0) < 0) child_fail(plan, child_step::streams);
    }
    // Everything above 2 but the error pipe (3 or more, see spawn_child).
    const unsigned keep = static_cast<unsigned>(plan->error_pipe);
    const bool closed = (keep == 3 || syscall(SYS_close_range, 3u, keep - 1, 0u) == 0) &&
                        syscall(SYS_close_range, keep + 1, ~0u, 0u) == 0;
    if (!closed) {
        for (long fd = 3; fd < plan->max_fd; ++fd) {
            if (fd != plan->error_pipe) syscall(SYS_close, fd);
        }
    }
    const uint64_t empty_mask = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty_mask, nullptr, 8);

    // As execvp: a program that is missing or not executable at one candidate is tried at the next; EACCES is
    // reported when no candidate worked and one was refused.
    int error = ENOENT;
    bool refused = false;
    for (const char* const* p = plan->programs; *p; ++p) {
        syscall(SYS_execve, *p, plan->argv, plan->envp);
        error = errno;
        if (error == EACCES) {
            refused = true;
        } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV && error != ETIMEDOUT) {
            break;
        }
    }
    errno = refused ? EACCES : error;
    child_fail(plan, child_step::exec);
}

std::vector<char*> c_strings(const std::vector<std::string>& texts) {
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (const std::string& t : texts) out.push_back(const_cast<char*>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

// `name` joined with each folder of a PATH value, in order; an empty folder stands for the current one.
std::vector<std::string> along_path(const std::string& name, const std::string& path) {
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        const size_t end = path.find(':', at);
        const std::string folder = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
        out.push_back(folder.empty() ? name : folder + "/" + name);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

// The files execve is tried on: argv[0] itself, or each folder of the environment's PATH joined with it.
std::vector<std::string> program_candidates(const child_spec& spec) {
    const std::string& name = spec.argv[0];
    if (!spec.search_path || name.find('/') != std::string::npos) return {name};
    return along_path(name, find_in_environment(spec.env, "PATH").value_or("/bin:/usr/bin"));
}

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string reason(int error) { return std::strerror(error); }

[[noreturn]] void throw_start_error(const child_spec& spec, const std::string& detail, int error) {
    throw child_start_error("cannot start " + spec.argv[0] + ": " + detail + reason(error), error);
}

// One stream of the child: the descriptor it gets, and this process's end of a pipe.
struct stream_setup {
    file_descriptor opened;  // a descriptor opened for the child (the child's pipe end, /dev/null, a file)
    int child_fd = -1;
    file_descriptor parent_end;
};

stream_setup set_up_stream(const child_spec& spec, const child_stream& s, int target, int stdout_fd) {
    stream_setup out;
    const bool input = target == 0;
    switch (s.how) {
        case child_stream::kind::null_device:
            out.opened = file_descriptor(::open("/dev/null", O_RDWR | O_CLOEXEC));
            if (!out.opened.valid()) throw_start_error(spec, "cannot open /dev/null: ", errno);
            break;
        case child_stream::kind::pipe: {
            int ends[2];
            if (pipe2(ends, O_CLOEXEC) != 0) throw_start_error(spec, "cannot make a pipe: ", errno);
            out.opened = file_descriptor(ends[input ? 0 : 1]);
            out.parent_end = file_descriptor(ends[input ? 1 : 0]);
            break;
        }
        case child_stream::kind::descriptor:
            if (s.fd < 0) throw std::invalid_argument("child_stream::descriptor needs a descriptor");
            out.child_fd = s.fd;
            break;
        case child_stream::kind::file_truncate:
        case child_stream::kind::file_append: {
            if (input) throw std::invalid_argument("a child's stdin cannot be a log file");
            const int mode = s.how == child_stream::kind::file_append ? O_APPEND : O_TRUNC;
            out.opened = file_descriptor(::open(s.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0600));
            if (!out.opened.valid()) throw_start_error(spec, "cannot open " + s.path + ": ", errno);
            break;
        }
        case child_stream::kind::same_as_stdout:
            if (target != 2) throw std::invalid_argument("only stderr can be the same as stdout");
            out.child_fd = stdout_fd;
            break;
    }
    if (out.opened.valid()) out.child_fd = out.opened.get();
    return out;
}

std::string step_text(child_step step, const child_spec& spec) {
    switch (step) {
        case child_step::session: return "setsid: ";
        case child_step::group: return "setpgid: ";
        case child_step::parent_death: return "parent death signal: ";
        case child_step::limit: return "resource limit: ";
        case child_step::folder: return "working folder " + spec.working_folder + ": ";
        case child_step::streams: return "standard streams: ";
        default: return "";
    }
}

// A stack for the child, with a guard page below it.
class child_stack {
public:
    static constexpr size_t size = 128 * 1024;
    child_stack() {
        base_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (base_ == MAP_FAILED) throw std::bad_alloc();
        mprotect(base_, 4096, PROT_NONE);
    }
    ~child_stack() { munmap(base_, size); }
    child_stack(const child_stack&) = delete;
    child_stack& operator=(const child_stack&) = delete;
    void* top() const { return static_cast<char*>(base_) + size; }

private:
    void* base_;
};

// Blocks every signal of the calling thread (glibc's internal ones too, which pthread_sigmask would keep open) for
// the life of the object, so no handler of this process runs in the child before it reset the dispositions.
class all_signals_blocked {
public:
    all_signals_blocked() {
        const uint64_t all = ~uint64_t(0);
        syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &saved_, 8);
    }
    ~all_signals_blocked() { syscall(SYS_rt_sigprocmask, SIG_SETMASK, &saved_, nullptr, 8); }
    all_signals_blocked(const all_signals_blocked&) = delete;
    all_signals_blocked& operator=(const all_signals_blocked&) = delete;

private:
    uint64_t saved_ = 0;
};

// Starts the child on `plan`; its pid, or -1 with errno set.
pid_t start_child_process(child_plan& plan) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer takes any clone for a fork and cannot follow a child that shares its memory: fork.
    all_signals_blocked blocked;
    const pid_t pid = fork();
    if (pid == 0) child_main(&plan);
    return pid;
#else
    child_stack stack;
    all_signals_blocked blocked;
    // Returns once the child has called execve or ended.
    return clone(child_main, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
#endif
}

// Reads until `size` bytes came or the end of the pipe; the number of bytes read.
size_t read_at_most(int fd, void* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, static_cast<char*>(buffer) + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return done;
}

int wait_status(pid_t pid, int& status) {
    for (;;) {
        const pid_t r = waitpid(pid, &status, 0);
        if (r >= 0 || errno != EINTR) return r;
    }
}

}  // namespace

int exit_code_of_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

child_process spawn_child(const child_spec& spec) {
    if (spec.argv.empty() || spec.argv[0].empty()) throw std::invalid_argument("a child needs a program");
    stream_setup in = set_up_stream(spec, spec.in, 0, -1);
    stream_setup out = set_up_stream(spec, spec.out, 1, -1);
    stream_setup err = set_up_stream(spec, spec.err, 2, out.child_fd);

    const std::vector<std::string> candidates = program_candidates(spec);
    std::vector<const char*> programs;
    for (const std::string& c : candidates) programs.push_back(c.c_str());
    programs.push_back(nullptr);
    const std::vector<char*> argv = c_strings(spec.argv);
    const std::vector<char*> envp = c_strings(spec.env);

    child_plan plan;
    plan.programs = programs.data();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.folder = spec.working_folder.empty() ? nullptr : spec.working_folder.c_str();
    plan.streams[0] = in.child_fd;
    plan.streams[1] = out.child_fd;
    plan.streams[2] = err.child_fd;
    plan.new_session = spec.new_session;
    plan.parent_death_signal = spec.parent_death_signal;
    plan.parent_pid = getpid();
    for (const auto& [resource, value] : {std::pair<int, uint64_t>{RLIMIT_AS, spec.address_space_limit},
                                          {RLIMIT_CPU, spec.cpu_seconds_limit},
                                          {RLIMIT_FSIZE, spec.file_size_limit}}) {
        if (value != 0) plan.limits[plan.n_limits++] = {resource, value};
    }
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        plan.max_fd = static_cast<long>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
    }

    int error_ends[2];
    if (pipe2(error_ends, O_CLOEXEC) != 0) throw_start_error(spec, "cannot make a pipe: ", errno);
    file_descriptor error_read(error_ends[0]), error_write(error_ends[1]);
    if (error_write.get() < 3) {  // this process runs with a standard stream closed: keep clear of 0..2
        error_write = file_descriptor(fcntl(error_write.get(), F_DUPFD_CLOEXEC, 3));
        if (!error_write.valid()) throw_start_error(spec, "cannot make a pipe: ", errno);
    }
    plan.error_pipe = error_write.get();

    const pid_t pid = start_child_process(plan);
    const int start_error = errno;
    error_write.close();
    if (pid < 0) throw_start_error(spec, "", start_error);
    child_failure failure{child_step::none, 0};
    if (read_at_most(error_read.get(), &failure, sizeof failure) == sizeof failure) {
        int status = 0;
        wait_status(pid, status);
        throw_start_error(spec, step_text(failure.step, spec), failure.error);
    }

    child_process child;
    child.state_ = std::make_unique<child_state>();
    child.state_->pid = pid;
    // The pid cannot be reused before this object reaps it, so opening the pidfd now is free of races.
    child.state_->pidfd = file_descriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (child.state_->pidfd.valid()) fcntl(child.state_->pidfd.get(), F_SETFD, FD_CLOEXEC);
    child.stdin_ = std::move(in.parent_end);
    child.stdout_ = std::move(out.parent_end);
    child.stderr_ = std::move(err.parent_end);
    return child;
}

child_process::child_process() = default;

child_process::child_process(child_process&& other) noexcept
    : state_(std::move(other.state_)),
      stdin_(std::move(other.stdin_)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)) {}

child_process& child_process::operator=(child_process&& other) noexcept {
    if (this != &other) {
        if (state_) {
            kill_group(SIGKILL);
            reap();
        }
        state_ = std::move(other.state_);
        stdin_ = std::move(other.stdin_);
        stdout_ = std::move(other.stdout_);
        stderr_ = std::move(other.stderr_);
    }
    return *this;
}

child_process::~child_process() {
    if (!state_) return;
    kill_group(SIGKILL);
    reap();
}

pid_t child_process::pid() const { return state_ ? state_->pid : -1; }

bool child_process::wait_exit(std::chrono::milliseconds limit) const {
    if (!state_) return true;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->reaped) return true;
    }
    using clock = std::chrono::steady_clock;
    const bool forever = limit.count() < 0;
    const auto deadline = clock::now() + (forever ? std::chrono::milliseconds(0) : limit);
    auto left_ms = [&]() -> int {
        if (forever) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
    };
    if (state_->pidfd.valid()) {
        for (;;) {
            pollfd p = {state_->pidfd.get(), POLLIN, 0};
            const int rc = poll(&p, 1, left_ms());
            if (rc > 0) return true;
            if (rc == 0) return false;
            if (errno != EINTR) return true;
        }
    }
    // Without a pidfd: look without reaping, every 10 ms.
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(state_->pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno != EINTR) return true;  // not our child any more (reaped elsewhere): nothing to wait for
        } else if (info.si_pid != 0) {
            return true;
        }
        const int left = left_ms();
        if (left == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(left < 0 ? 10 : std::min(left, 10)));
    }
}

void child_process::kill_group(int sig) const {
    if (!state_) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->reaped) ::kill(-state_->pid, sig);
}

void child_process::signal(int sig) const {
    if (!state_) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->reaped) ::kill(state_->pid, sig);
}

int child_process::reap() const {
    if (!state_) return -1;
    wait_exit(std::chrono::milliseconds(-1));
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->reaped) {
        int status = 0;
        const bool collected = wait_status(state_->pid, status) == state_->pid;
        state_->code = collected ? exit_code_of_status(status) : -1;
        state_->signal = collected && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        state_->reaped = true;
    }
    return state_->code;
}

std::optional<int> child_process::exit_code() const {
    if (!state_) return std::nullopt;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->reaped) return std::nullopt;
    return state_->code;
}

std::optional<int> child_process::killed_by() const {
    if (!state_) return std::nullopt;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->reaped) return std::nullopt;
    return state_->signal;
}

std::string find_program(const std::string& name, const std::string& path) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return is_executable_file(name) ? name : std::string();
    for (const std::string& candidate : along_path(name, path)) {
        if (candidate.find('/') == std::string::npos) continue;  // an empty folder: never the current one here
        if (is_executable_file(candidate)) return candidate;
    }
    return {};
}

std::vector<std::string> current_environment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    return env;
}

namespace {

bool has_name(const std::string& entry, const std::string& name) {
    return entry.size() > name.size() && entry[name.size()] == '=' && entry.compare(0, name.size(), name) == 0;
}

}  // namespace

void set_in_environment(std::vector<std::string>& env, const std::string& name, const std::string& value) {
    bool placed = false;
    for (auto it = env.begin(); it != env.end();) {
        if (!has_name(*it, name)) {
            ++it;
        } else if (!placed) {
            *it++ = name + "=" + value;
            placed = true;
        } else {
            it = env.erase(it);
        }
    }
    if (!placed) env.push_back(name + "=" + value);
}

void remove_from_environment(std::vector<std::string>& env, const std::string& name) {
    std::erase_if(env, [&](const std::string& e) { return has_name(e, name); });
}

std::optional<std::string> find_in_environment(const std::vector<std::string>& env, const std::string& name) {
    for (const std::string& e : env) {
        if (has_name(e, name)) return e.substr(name.size() + 1);
    }
    return std::nullopt;
}

spawner_thread::spawner_thread() : thread_([this] { run(); }) {}

spawner_thread::~spawner_thread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void spawner_thread::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

child_process spawner_thread::spawn(const child_spec& spec) {
    auto result = std::make_shared<std::promise<child_process>>();
    std::future<child_process> done = result->get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) throw std::logic_error("the spawner thread has ended");
        jobs_.push_back([&spec, result] {
            try {
                result->set_value(spawn_child(spec));
            } catch (...) {
                result->set_exception(std::current_exception());
            }
        });
    }
    wake_.notify_one();
    return done.get();
}

spawner_thread& process_spawner() {
    static spawner_thread spawner;
    return spawner;
}
