// The reading side of child processes: the wake-up descriptor, reads that a wake-up can end, the output drain
// and a whole run of a child to its end.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/child_process.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Milliseconds left until `deadline` for poll: -1 without a deadline, 0 once it passed.
int poll_timeout(std::optional<clock_type::time_point> deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - clock_type::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

std::optional<clock_type::time_point> deadline_after(std::chrono::milliseconds limit) {
    if (limit.count() < 0) return std::nullopt;
    return clock_type::now() + limit;
}

}  // namespace

wake_event::wake_event() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_.valid()) throw std::runtime_error("cannot make a wake-up descriptor");
}

void wake_event::signal() const {
    const uint64_t one = 1;
    (void)!write(fd_.get(), &one, sizeof one);
}

bool wake_event::signalled() const {
    pollfd p = {fd_.get(), POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

read_result read_or_wake(int fd, const wake_event& wake, void* buffer, size_t size, std::chrono::milliseconds limit) {
    const auto deadline = deadline_after(limit);
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {wake.fd(), POLLIN, 0}};
        const int rc = poll(p, 2, poll_timeout(deadline));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return {read_status::error, 0};
        }
        if (rc == 0) return {read_status::timed_out, 0};
        if (p[1].revents) return {read_status::woken, 0};
        if (p[0].revents & POLLNVAL) {
            errno = EBADF;
            return {read_status::error, 0};
        }
        const ssize_t n = read(fd, buffer, size);
        if (n > 0) return {read_status::data, static_cast<size_t>(n)};
        if (n == 0) return {read_status::end, 0};
        if (errno != EINTR && errno != EAGAIN) return {read_status::error, 0};
    }
}

output_drain::output_drain(file_descriptor pipe, size_t keep_max, size_t keep_after_trim)
    : pipe_(std::move(pipe)), keep_max_(keep_max), keep_after_trim_(std::min(keep_after_trim, keep_max)) {
    thread_ = std::thread([this] { run(); });
}

output_drain::~output_drain() {
    stop_.signal();
    if (thread_.joinable()) thread_.join();
}

void output_drain::run() {
    char chunk[8192];
    for (;;) {
        const read_result r = read_or_wake(pipe_.get(), stop_, chunk, sizeof chunk);
        if (r.status == read_status::woken) return;
        if (r.status != read_status::data) break;  // the end of the pipe, or a read that failed: nothing more comes
        buffer_.append(chunk, r.bytes);
        if (buffer_.size() > keep_max_) buffer_.erase(0, buffer_.size() - keep_after_trim_);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    ended_cv_.notify_all();
}

bool output_drain::ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

std::string output_drain::finish(std::chrono::milliseconds grace) {
    if (!thread_.joinable()) return {};
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (grace.count() < 0) {
            ended_cv_.wait(lock, [&] { return ended_; });
        } else {
            ended_cv_.wait_for(lock, grace, [&] { return ended_; });
        }
    }
    stop_.signal();
    thread_.join();
    pipe_.close();
    return std::move(buffer_);
}

namespace {

// Writes `input` to the child's stdin on a thread of its own, so a child that writes much before it reads cannot
// block the run, and closes the pipe after the last byte. A child that stops reading ends the writing (EPIPE; the
// thread blocks SIGPIPE, which the write then leaves pending on this thread only, to vanish with it).
class input_writer {
public:
    input_writer(file_descriptor pipe, std::string input) : pipe_(std::move(pipe)), input_(std::move(input)) {
        fcntl(pipe_.get(), F_SETFL, fcntl(pipe_.get(), F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    ~input_writer() {
        stop_.signal();
        thread_.join();
    }
    input_writer(const input_writer&) = delete;
    input_writer& operator=(const input_writer&) = delete;

private:
    void run() {
        sigset_t pipe_signal;
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        size_t done = 0;
        while (done < input_.size()) {
            pollfd p[2] = {{pipe_.get(), POLLOUT, 0}, {stop_.fd(), POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (p[1].revents) break;
            const ssize_t n = write(pipe_.get(), input_.data() + done, input_.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                break;
            }
        }
        pipe_.close();
    }

    file_descriptor pipe_;
    std::string input_;
    wake_event stop_;
    std::thread thread_;
};

}  // namespace

child_run_result run_to_end(const child_spec& spec, const child_run_options& options) {
    const child_spec* to_start = &spec;
    child_spec with_input;
    if (options.input) {
        with_input = spec;
        with_input.in = child_stream::pipe();
        to_start = &with_input;
    }
    child_process child = spawn_child(*to_start);
    std::optional<output_drain> out, err;
    if (child.stdout_fd() >= 0) out.emplace(child.take_stdout(), options.keep_max, options.keep_after_trim);
    if (child.stderr_fd() >= 0) err.emplace(child.take_stderr(), options.keep_max, options.keep_after_trim);
    std::optional<input_writer> writer;
    if (options.input) writer.emplace(child.take_stdin(), *options.input);

    child_run_result result;
    if (!child.wait_exit(options.time_limit)) {
        result.timed_out = true;
        child.kill_group(SIGKILL);
        child.wait_exit(options.after_kill_wait);
    }
    // What the leader left running in its group ends with it.
    child.kill_group(SIGKILL);
    result.exit_code = child.reap();
    result.killed_by = child.killed_by().value_or(0);
    writer.reset();
    // One grace period for both pipes together.
    const auto deadline = deadline_after(options.drain_grace);
    const auto left = [&] { return std::chrono::milliseconds(poll_timeout(deadline)); };
    if (out) result.out = out->finish(left());
    if (err) result.err = err->finish(left());
    return result;
}
