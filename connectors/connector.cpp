#include "connectors/connector.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "common/file_helpers.h"
#include "common/program_version.h"

void connector_reader_thread(connector& conn, file_descriptor out);  // connector_reader.cpp

namespace {

// The shell stays the group's leader: it runs the command in the background with the shell's own standard input,
// lets go of its copies of the pipes, and waits. SIGTERM (the parent-death signal) makes it kill the whole group.
constexpr const char* leader_script =
    "trap \"kill -KILL 0\" TERM; exec 3<&0; \"$@\" 0<&3 3<&- & exec 0<&- 1>&- 3<&-; wait $!";

constexpr size_t log_tail_bytes = 600;
constexpr size_t log_read_bytes = 0x100000;

// Opens the log file for the child (created with mode 0600, truncated); an invalid descriptor when it cannot be.
file_descriptor open_log(const std::filesystem::path& path) {
    if (path.empty()) return {};
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    return file_descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
}

std::vector<std::string> child_argv(const nlohmann::json& config) {
    std::vector<std::string> argv = {"/bin/sh", "-c", leader_script, "sh", config.at("command").get<std::string>()};
    auto args = config.find("args");
    if (args != config.end()) {
        for (const auto& arg : *args) argv.push_back(arg.get<std::string>());
    }
    return argv;
}

std::string log_tail(const std::filesystem::path& path) {
    std::string text;
    try {
        text = read_file_text(path, log_read_bytes);
    } catch (const std::exception&) {
        return {};
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (text.size() > log_tail_bytes) text = "..." + text.substr(text.size() - log_tail_bytes);
    return text;
}

std::chrono::steady_clock::time_point deadline_after(int32_t seconds) {
    auto now = std::chrono::steady_clock::now();
    if (seconds <= 0) return now;
    auto room = std::chrono::steady_clock::time_point::max() - now;
    auto wait = std::chrono::seconds(seconds);
    return wait >= room ? std::chrono::steady_clock::time_point::max() : now + wait;
}

// A write to the child's standard input failed: the child closed it, which mostly means that it is ending.
struct write_failed : std::runtime_error {
    write_failed() : std::runtime_error("connector stopped") {}
};

void write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw write_failed();
        done += static_cast<size_t>(n);
    }
}

}  // namespace

connector_ptr new_connector(const std::string& name, const std::filesystem::path& log_path) {
    connector_ptr conn(new connector, destroy_connector);
    conn->name = name;
    conn->log_path = log_path;
    return conn;
}

void connector_send(connector& conn, const nlohmann::json& message) {
    std::string line = message.dump() + "\n";
    std::lock_guard<std::mutex> hold(conn.send_mutex);
    if (!conn.stdin_write.valid()) throw std::runtime_error("connector stopped");
    write_all(conn.stdin_write.get(), line);
}

nlohmann::json connector_request(connector& conn, const std::string& method, const nlohmann::json& params,
                                 int32_t timeout_seconds) {
    int32_t id;
    {
        std::lock_guard<std::mutex> hold(conn.lock);
        id = conn.next_id++;
        if (conn.next_id <= 0) conn.next_id = 1;
        conn.waiting.insert(id);
    }
    // Whatever way this request ends, its id stops waiting, so a reply that comes later is not kept.
    struct stop_waiting {
        connector& conn;
        int32_t id;
        ~stop_waiting() {
            std::lock_guard<std::mutex> hold(conn.lock);
            conn.waiting.erase(id);
            conn.pending_replies.erase(id);
        }
    } stop{conn, id};

    connector_send(conn, {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});

    nlohmann::json reply;
    {
        std::unique_lock<std::mutex> hold(conn.lock);
        bool ready = conn.replies_ready.wait_until(hold, deadline_after(timeout_seconds), [&] {
            return conn.pending_replies.count(id) > 0 || conn.stopped;
        });
        if (!ready) {
            throw std::runtime_error(method + ": no answer from connector " + conn.name + " in " +
                                     std::to_string(timeout_seconds) + " s");
        }
        auto found = conn.pending_replies.find(id);
        if (found == conn.pending_replies.end()) throw std::runtime_error("connector " + conn.name + " stopped");
        reply = std::move(found->second);
        conn.pending_replies.erase(found);
    }
    auto error = reply.find("error");
    if (error != reply.end()) {
        auto message = error->is_object() ? error->find("message") : error->end();
        std::string text;
        if (error->is_object() && message != error->end()) {
            text = message->is_string() ? message->get<std::string>() : message->dump();
        } else {
            text = error->dump();
        }
        throw std::runtime_error(conn.name + ": " + text);
    }
    auto result = reply.find("result");
    return result != reply.end() ? *result : nlohmann::json::object();
}

bool start_connector(connector& conn, const nlohmann::json& config, const connector_start_limits& limits) {
    bool log_opened = false;
    try {
        conn.config = config;
        child_spec spec;
        spec.argv = child_argv(config);
        spec.env = connector_environment(config);
        spec.in = child_stream::pipe();
        spec.out = child_stream::pipe();
        file_descriptor log = open_log(conn.log_path);
        log_opened = log.valid();
        spec.err = log_opened ? child_stream::descriptor(log.get()) : child_stream::null_device();
        spec.parent_death_signal = SIGTERM;
        try {
            conn.child = process_spawner().spawn(spec);
        } catch (const child_start_error&) {
            throw std::runtime_error("cannot start: " + config.at("command").get<std::string>());
        }
        log.close();
        conn.stdin_write = conn.child.take_stdin();
        conn.reader = std::thread(connector_reader_thread, std::ref(conn), conn.child.take_stdout());

        connector_request(conn, "initialize",
                          {{"protocolVersion", "2025-06-18"},
                           {"capabilities", nlohmann::json::object()},
                           {"clientInfo", {{"name", "mivra"}, {"version", program_version}}}},
                          limits.initialize_seconds);
        connector_send(conn, {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
        nlohmann::json listed = connector_request(conn, "tools/list", nlohmann::json::object(),
                                                  limits.tools_list_seconds);
        auto tools = listed.find("tools");
        conn.tools = tools != listed.end() ? *tools : nlohmann::json::array();
        return true;
    } catch (const std::exception& e) {
        bool stopped;
        {
            // A child that is ending may fail a write before the reader has seen the end of its output (and before
            // the system reports it ended): give the reader a moment, so that the failure is told as the end it is.
            const bool ending = dynamic_cast<const write_failed*>(&e) != nullptr ||
                                (conn.child.valid() && !conn.child.running());
            const bool ended = ending && conn.reader.joinable();
            std::unique_lock<std::mutex> hold(conn.lock);
            if (ended) {
                conn.replies_ready.wait_for(hold, std::chrono::seconds(1), [&] { return conn.stopped; });
            }
            stopped = conn.stopped;
        }
        conn.error = stopped ? "stopped while starting" : e.what();
        std::string tail = log_opened ? log_tail(conn.log_path) : std::string();
        if (!tail.empty()) {
            conn.error += ": " + tail;
        } else if (stopped) {
            conn.error += " (check the command and its arguments)";
        }
        return false;
    }
}

void destroy_connector(connector* conn) {
    if (!conn) return;
    if (conn->child.valid()) conn->child.kill_group(SIGKILL);
    {
        std::lock_guard<std::mutex> hold(conn->send_mutex);
        conn->stdin_write.close();
    }
    if (conn->child.valid() && conn->child.wait_exit(std::chrono::milliseconds(2000))) conn->child.reap();
    conn->reader_wake.signal();
    if (conn->reader.joinable()) conn->reader.join();
    delete conn;  // a child still not reaped is killed and reaped by its owner's destructor
}
