#include "server/loopback_guard.h"

#include "common/loopback_names.h"
#include "server/api_errors.h"

namespace {

bool is_api_path(const std::string& path) { return path == "/health" || path.starts_with("/v1/"); }

}  // namespace

void install_loopback_guard(httplib::Server& server, const std::string& host, int port) {
    if (!is_loopback_bind_host(host)) return;
    server.set_pre_routing_handler([port](const httplib::Request& req, httplib::Response& res) {
        if (!is_api_path(req.path)) return httplib::Server::HandlerResponse::Unhandled;
        if (is_loopback_host_header(req.get_header_value("Host"), port) &&
            is_loopback_origin(req.get_header_value("Origin"), port))
            return httplib::Server::HandlerResponse::Unhandled;
        send_api_error(req, res, 403,
                       "request refused: this server answers only requests for 127.0.0.1 or localhost on port " +
                           std::to_string(port) + ", from programs or from its own pages");
        return httplib::Server::HandlerResponse::Handled;
    });
}
