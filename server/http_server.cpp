#include "server/http_server.h"

#include <functional>
#include <string>
#include <thread>

#include "platform/socket_io.h"
#include "server/api_errors.h"
#include "server/connection_pool.h"
#include "server/deadline_stream.h"
#include "server/request_body.h"

using std::chrono::milliseconds;

namespace {

milliseconds timeout_of(time_t sec, time_t usec) { return milliseconds(sec * 1000 + usec / 1000); }

}  // namespace

std::chrono::milliseconds request_body_time(size_t declared_length) {
    return request_body_time_limit + milliseconds(declared_length / (request_body_min_rate / 1000));
}

bounded_http_server::bounded_http_server(size_t idle_threads) {
    new_task_queue = [idle_threads] { return new connection_pool(idle_threads, connection_thread_limit); };
    // The library answers an over-large body with an empty 413; clients get the JSON error body of the route.
    set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.status != 413 || !res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        send_api_error(req, res, 413, body_too_large_text());
        return httplib::Server::HandlerResponse::Handled;
    });
}

bool bounded_http_server::process_and_close_socket(socket_t sock) {
    std::string remote_ip, local_ip;
    int remote_port = 0, local_port = 0;
    socket_addresses(sock, remote_ip, remote_port, local_ip, local_port);
    deadline_stream strm(sock, timeout_of(read_timeout_sec_, read_timeout_usec_),
                         timeout_of(write_timeout_sec_, write_timeout_usec_));

    // Waits for the next request of a kept-alive connection, at most the keep-alive time-out, and gives up when
    // the server stops listening.
    const auto next_request = [&] {
        if (strm.is_readable()) return true;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
        while (svr_sock_ != INVALID_SOCKET) {
            const int ready = wait_socket(sock, false, 100);
            if (ready != 0) return ready > 0;
            if (std::chrono::steady_clock::now() >= end) return false;
        }
        return false;
    };
    // Once the headers are in, the body gets its own time, by its declared length.
    const std::function<void(httplib::Request&)> body_deadline = [&strm](httplib::Request& req) {
        size_t length = 0;
        if (req.has_header("Content-Length"))
            length = size_t(req.get_header_value_u64("Content-Length"));
        else if (req.has_header("Transfer-Encoding"))
            length = request_body_limit;
        strm.set_read_deadline(request_body_time(length));
    };

    const bool ret = serve_guarded([&] {
        bool ok = false;
        for (size_t count = keep_alive_max_count_; count > 0 && next_request(); --count) {
            strm.set_read_deadline(request_header_time_limit);
            bool closed = false;
            ok = process_request(strm, remote_ip, remote_port, local_ip, local_port, count == 1, closed, body_deadline);
            if (!ok || closed) break;
        }
        return ok;
    });
    drain_and_close_socket(sock);
    return ret;
}
