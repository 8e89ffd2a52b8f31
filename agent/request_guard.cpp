#include "agent/request_guard.h"

#include <string>

#include "agent/agent_reply.h"
#include "common/loopback_names.h"
#include "common/process_state.h"

bool agent_host_ok(const httplib::Request& req) {
    const std::string port = std::to_string(agent_state.port);
    const std::string host = req.get_header_value("Host");
    return host == "127.0.0.1:" + port || host == "localhost:" + port;
}

bool check_agent_request(const httplib::Request& req, httplib::Response& res, bool token_required) {
    const bool origin_ok = is_loopback_origin(req.get_header_value("Origin"), agent_state.port);
    const bool token_ok = !token_required || req.get_header_value("X-Mivra-Token") == agent_state.page_token;
    if (agent_state.served_locally && agent_host_ok(req) && origin_ok && token_ok) return true;
    refuse_agent_request(res);
    return false;
}

void refuse_agent_request(httplib::Response& res) {
    const char* text = agent_state.served_locally ? "not allowed"
                                                  : "agent tools are only available when Mivra serves on 127.0.0.1";
    reply_json(res, 403, {{"error", text}}, utf8_check::strict);
}
