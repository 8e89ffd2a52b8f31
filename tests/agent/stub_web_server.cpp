#include "agent/stub_web_server.h"

#include <sys/socket.h>

#include <stdexcept>

stub_web_server::stub_web_server() {
    // SO_REUSEADDR only: the library's default SO_REUSEPORT would let two servers share a port.
    server_.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({req.target, req.headers});
        return httplib::Server::HandlerResponse::Unhandled;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("stub web server: cannot bind 127.0.0.1");
}

stub_web_server::~stub_web_server() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

void stub_web_server::start() {
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    server_.wait_until_ready();
}

std::string stub_web_server::url(const std::string& path, const std::string& host) const {
    return "http://" + host + ":" + std::to_string(port_) + path;
}

std::vector<stub_web_server::seen_request> stub_web_server::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void stub_web_server::forget_requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

std::string header_of(const stub_web_server::seen_request& request, const std::string& name, bool* present) {
    const auto it = request.headers.find(name); // httplib::Headers compares names case-blind
    if (present) *present = it != request.headers.end();
    return it == request.headers.end() ? std::string() : it->second;
}
