#include "common/https_server.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// Runs a program with the given arguments and waits; its stdout goes to `out_fd` when that is not -1.
pid_t spawn(const std::vector<std::string>& argv, int out_fd) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int wait_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

https_test_server::https_test_server(const std::string& plugin_file) {
    std::string pattern = (std::filesystem::temp_directory_path() / "mivra-https-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    cert_ = folder_ + "/cert.pem";
    const std::string key = folder_ + "/key.pem";
    const pid_t maker = spawn({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                               "-nodes", "-keyout", key, "-out", cert_, "-days", "2", "-subj", "/CN=localhost",
                               "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"},
                              -1);
    if (maker < 0 || wait_exit(maker) != 0) throw std::runtime_error("openssl could not make a test certificate");

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argv = {"node", std::string(MIVRA_SOURCE_DIR) + "/tests/common/https_server.js",
                                     "--cert", cert_, "--key", key};
    if (!plugin_file.empty()) {
        argv.push_back("--plugin");
        argv.push_back(plugin_file);
    }
    pid_ = spawn(argv, out[1]);
    close(out[1]);
    std::string line;
    char c;
    while (pid_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    int http_port = 0;
    if (pid_ < 0 || std::sscanf(line.c_str(), "listening %d %d", &port_, &http_port) != 2) {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait_exit(pid_);
        }
        throw std::runtime_error("the test HTTPS server did not start: " + line);
    }
    http_port_ = http_port;
}

https_test_server::~https_test_server() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        wait_exit(pid_);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

std::string https_test_server::url(const std::string& path, const std::string& host) const {
    return "https://" + host + ":" + std::to_string(port_) + path;
}

std::string https_test_server::plain_url(const std::string& path, const std::string& host) const {
    return "http://" + host + ":" + std::to_string(http_port_) + path;
}
