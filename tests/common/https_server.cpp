#include "common/https_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

// A program found along this process's PATH, with this process's environment and stdin on /dev/null.
child_spec program(const std::vector<std::string>& argv) {
    child_spec spec;
    spec.argv = argv;
    spec.env = current_environment();
    spec.search_path = true;
    spec.err = child_stream::descriptor(STDERR_FILENO);
    return spec;
}

} // namespace

https_test_server::https_test_server(const std::string& plugin_file) {
    std::string pattern = (std::filesystem::temp_directory_path() / "mivra-https-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    cert_ = folder_ + "/cert.pem";
    const std::string key = folder_ + "/key.pem";
    child_spec maker = program({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                "-nodes", "-keyout", key, "-out", cert_, "-days", "2", "-subj", "/CN=localhost",
                                "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
    maker.out = child_stream::descriptor(STDOUT_FILENO);
    int made = -1;
    try {
        made = run_to_end(maker).exit_code;
    } catch (const child_start_error&) {
    }
    if (made != 0) throw std::runtime_error("openssl could not make a test certificate");

    std::vector<std::string> argv = {"node", std::string(MIVRA_SOURCE_DIR) + "/tests/common/https_server.js",
                                     "--cert", cert_, "--key", key};
    if (!plugin_file.empty()) {
        argv.push_back("--plugin");
        argv.push_back(plugin_file);
    }
    child_spec server = program(argv);
    server.out = child_stream::pipe();
    std::string line;
    try {
        server_ = spawn_child(server);
    } catch (const child_start_error& e) {
        line = e.what();
    }
    char c;
    while (server_.valid() && read(server_.stdout_fd(), &c, 1) == 1 && c != '\n') line += c;
    server_.take_stdout();
    int http_port = 0;
    if (!server_.valid() || std::sscanf(line.c_str(), "listening %d %d", &port_, &http_port) != 2) {
        server_ = child_process();  // killed and reaped
        throw std::runtime_error("the test HTTPS server did not start: " + line);
    }
    http_port_ = http_port;
}

https_test_server::~https_test_server() {
    if (server_.valid()) {
        server_.signal(SIGTERM);
        server_.reap();
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
