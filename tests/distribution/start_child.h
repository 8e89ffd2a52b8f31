// Children for the tests of `mivra start`: one driven as the desktop launcher drives it (command lines on a pipe to
// its stdin, event lines read from a pipe on its stdout), and one driven as a person at a terminal (a
// pseudo-terminal with echo off, so the transcript is exactly what the program wrote). stderr goes to a file in
// both cases. Each child is killed (SIGKILL) and reaped when its owner goes. The terminal child keeps its own
// forkpty: the program must find a real terminal on its standard streams, which the child-process layer does not
// make.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"

namespace start_test {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

struct c_strings {
    std::vector<char*> pointers;
    explicit c_strings(const std::vector<std::string>& texts) {
        for (const std::string& t : texts) pointers.push_back(const_cast<char*>(t.c_str()));
        pointers.push_back(nullptr);
    }
};

// Waits for the child until the deadline; nullopt when it is still running then.
inline std::optional<int> wait_until(pid_t pid, clock_type::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return exit_code_of_status(status);
        if (r < 0) return -1;
        if (clock_type::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

inline std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class launcher_child {
public:
    launcher_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& err_file)
        : err_file_(err_file) {
        child_spec spec;
        spec.argv = argv;
        spec.env = env;
        spec.in = child_stream::pipe();
        spec.out = child_stream::pipe();
        spec.err = child_stream::file_truncate(err_file);
        child_ = spawn_child(spec);
    }
    // The child's group is killed and the child reaped (child_process) if it is still running.

    void send(const std::string& text) {
        if (child_.stdin_fd() >= 0) (void)!write(child_.stdin_fd(), text.data(), text.size());
    }
    void close_input() { child_.close_stdin(); }

    // The next line on stdout without its line end; nullopt when stdout ended or nothing came in time.
    std::optional<std::string> next_line(std::chrono::milliseconds timeout = 120s) {
        const auto deadline = clock_type::now() + timeout;
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            if (ended_) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            if (left.count() <= 0) return std::nullopt;
            char chunk[65536];
            const read_result r = read_or_wake(child_.stdout_fd(), never_, chunk, sizeof chunk, left);
            if (r.status == read_status::data) {
                buffer_.append(chunk, r.bytes);
            } else if (r.status != read_status::timed_out) {
                ended_ = true;
            }
        }
    }

    // Every remaining stdout line until the child closes stdout (or the timeout passes).
    std::vector<std::string> rest(std::chrono::milliseconds timeout = 120s) {
        std::vector<std::string> lines;
        while (auto line = next_line(timeout)) lines.push_back(*line);
        return lines;
    }

    // The exit code; -1 when the child is still running after the timeout (its group is then killed).
    int wait(std::chrono::milliseconds timeout = 120s) {
        if (killed_) return -1;
        if (!child_.wait_exit(timeout)) {
            child_.kill_group(SIGKILL);
            child_.reap();
            killed_ = true;
            return -1;
        }
        return child_.reap();
    }
    // SIGTERM (the program's stop handler) and the exit code.
    int stop() {
        child_.signal(SIGTERM);
        return wait(30s);
    }
    bool running() const { return child_.running(); }
    std::string err() const { return file_text(err_file_); }

private:
    child_process child_;
    wake_event never_;
    bool ended_ = false;
    bool killed_ = false;
    std::string buffer_;
    std::string err_file_;
};

class terminal_child {
public:
    terminal_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& err_file)
        : err_file_(err_file) {
        c_strings args(argv), envs(env);
        const char* err_path = err_file_.c_str();
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ < 0) throw std::runtime_error("forkpty");
        if (pid_ > 0) fcntl(master_, F_SETFD, FD_CLOEXEC);
        if (pid_ == 0) {
            termios t{};
            if (tcgetattr(0, &t) == 0) {
                t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
                tcsetattr(0, TCSANOW, &t);
            }
            const int fd = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) dup2(fd, 2);
            execve(args.pointers[0], args.pointers.data(), envs.pointers.data());
            _exit(127);
        }
    }
    ~terminal_child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        if (master_ >= 0) close(master_);
    }
    terminal_child(const terminal_child&) = delete;
    terminal_child& operator=(const terminal_child&) = delete;

    void type(const std::string& text) { (void)!write(master_, text.data(), text.size()); }
    // Ctrl-D at the start of a line: the program reads the end of input.
    void end_input() { type("\x04"); }

    // Reads until the transcript holds `text` `count` times; false when the terminal closed or time ran out.
    bool wait_for(const std::string& text, int count = 1, std::chrono::milliseconds timeout = 60s) {
        const auto deadline = clock_type::now() + timeout;
        while (occurrences(transcript(), text) < count) {
            if (closed_ || !read_some(deadline)) return false;
        }
        return true;
    }
    // Reads until the terminal closes, then returns the exit code (-1 on time-out).
    int finish(std::chrono::milliseconds timeout = 120s) {
        const auto deadline = clock_type::now() + timeout;
        while (!closed_ && read_some(deadline)) {
        }
        const std::optional<int> code = wait_until(pid_, deadline);
        if (!code) return -1;
        pid_ = -1;
        return *code;
    }
    // What the program wrote, with the terminal's "\r\n" turned back into "\n".
    std::string transcript() const {
        std::string out;
        for (size_t i = 0; i < raw_.size(); ++i) {
            if (raw_[i] == '\r' && i + 1 < raw_.size() && raw_[i + 1] == '\n') continue;
            out += raw_[i];
        }
        return out;
    }
    std::string err() const { return file_text(err_file_); }

private:
    static int occurrences(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }
    bool read_some(clock_type::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) return false;
        pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return true;
        char chunk[4096];
        const ssize_t n = read(master_, chunk, sizeof chunk);
        if (n > 0) {
            raw_.append(chunk, static_cast<size_t>(n));
        } else {
            closed_ = true;  // EIO once the program's side of the terminal is closed
        }
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    bool closed_ = false;
    std::string raw_;
    std::string err_file_;
};

}  // namespace start_test
