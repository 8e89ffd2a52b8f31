// A real HTTPS server for tests: tests/common/https_server.js run by Node.js as a child process, on 127.0.0.1 with
// a certificate made for this run (valid for the names localhost and 127.0.0.1). Point the HTTP client at the
// certificate with MIVRA_CA_FILE=ca_file(). The same routes are served without TLS on a second port.
//
// The server's routes are described in https_server.js; a plugin module can add routes (imitations of real
// services). Library target: mivra_test_https (link it and use #include "common/https_server.h").
#pragma once

#include <string>

#include "platform/child_process.h"

class https_test_server {
public:
    // Makes the certificate and starts the server; throws std::runtime_error when either fails.
    explicit https_test_server(const std::string& plugin_file = "");
    ~https_test_server(); // stops the server and removes its files
    https_test_server(const https_test_server&) = delete;
    https_test_server& operator=(const https_test_server&) = delete;

    int port() const { return port_; }
    // "https://" + host + ":" + port + path
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const;
    // The same routes without TLS, on a second port: "http://" + host + ":" + plain port + path
    std::string plain_url(const std::string& path, const std::string& host = "127.0.0.1") const;
    const std::string& ca_file() const { return cert_; }

private:
    std::string folder_;
    std::string cert_;
    child_process server_;
    int port_ = 0;
    int http_port_ = 0;
};
