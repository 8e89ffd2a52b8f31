// A `serve` child process for the server tests: a fixture pack, a free port, the server started with its stdout and
// stderr in files and its environment pointed at a scratch folder (no catalog fetch, no user settings), and small
// HTTP and event-stream helpers to talk to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "httplib.h"
#include "fixtures/free_port.h"
#include "platform/child_process.h"

// A qwen3moe fixture model (real qwen2 vocabulary, real Qwen3 template) packed into "<scratch>/qwen3moe": packed
// once per test program (fixtures/fixture_cache.h) and copied for each process. Returns the pack folder.
const std::string& fixture_pack_dir();
// The scratch folder of this test process (removed at exit).
const std::string& scratch_dir();


struct serve_options {
    std::string program = "mivra-test-server";  // mivra-test-server (scripted output) or mivra
    std::string pack;                            // empty: fixture_pack_dir()
    int n_parallel = 1;
    int n_ctx = 2048;
    std::vector<std::string> extra_args;
    bool stdin_pipe = false;  // keep a pipe on the child's stdin (for commands of the test server)
    std::map<std::string, std::string> env;  // variables set (or replaced) on top of server_environment()
    std::vector<std::string> unset_env;      // variables removed from the child's environment (after `env`)
};

class serve_process {
public:
    // Starts the server and waits until GET /health answers; throws with the child's stderr when it exits first.
    explicit serve_process(const serve_options& options);
    ~serve_process() = default;  // SIGKILL to the server's group if still running
    serve_process(const serve_process&) = delete;
    serve_process& operator=(const serve_process&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return child_.pid(); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::unique_ptr<httplib::Client> client() const;
    std::string err() const;  // everything on the child's stderr so far
    std::string out() const;
    // Writes a line to the child's stdin (stdin_pipe only).
    void send_line(const std::string& line);
    // SIGTERM, then waits; returns the exit code (128 + signal when killed by one).
    int stop();
    // Waits until the child's stderr holds `text` (count times), at most `timeout`.
    bool wait_for_err(const std::string& text, int count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

private:
    child_process child_;
    file_descriptor stdin_;
    int port_ = 0;
    std::string out_path_, err_path_;
};

// Occurrences of `needle` in `text`.
int count_of(const std::string& text, const std::string& needle);

// The events of a server-sent event stream: each "data: " payload, or ": ping" for a comment line.
std::vector<std::string> sse_events(const std::string& stream);

// Environment of a server child: this process's environment with the catalog, home, data and config folders in the
// scratch folder (the update check then reads no network and no user file), the connector catalog a missing file
// and the GitHub addresses a closed port on 127.0.0.1, and `overrides` on top.
std::vector<std::string> server_environment(const std::map<std::string, std::string>& overrides = {});
