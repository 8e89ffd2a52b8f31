// A small web server inside the test program, on 127.0.0.1 at a free port, standing in for the sites and search
// services that the web tools reach. Routes are cpp-httplib handlers, registered before start(); every request is
// recorded (target and headers) before its handler runs, so a test sees it as soon as the client has its answer.
// The port is bound on construction (so it can be handed around before any thread runs); start() serves.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "httplib.h"

class stub_web_server {
public:
    struct seen_request {
        std::string target; // path and query as sent
        httplib::Headers headers;
    };

    stub_web_server(); // binds 127.0.0.1 at a free port; throws std::runtime_error when it cannot
    ~stub_web_server(); // stops the server and joins its thread
    stub_web_server(const stub_web_server&) = delete;
    stub_web_server& operator=(const stub_web_server&) = delete;

    httplib::Server& routes() { return server_; }
    // Serves on a thread of its own until destruction.
    void start();

    int port() const { return port_; }
    // "http://" + host + ":" + port + path
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const;

    std::vector<seen_request> requests() const;
    void forget_requests();

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<seen_request> requests_; // guarded by mutex_
};

// The value of a request header (case-blind name), "" when absent; `present` tells which.
std::string header_of(const stub_web_server::seen_request& request, const std::string& name,
                      bool* present = nullptr);
