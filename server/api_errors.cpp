#include "server/api_errors.h"

#include <nlohmann/json.hpp>

#include "server/anthropic_reply.h"
#include "server/openai_reply.h"
#include "server/reply_helpers.h"

void send_api_error(const httplib::Request& req, httplib::Response& res, int status, const std::string& text) {
    const std::string& path = req.path;
    nlohmann::json body;
    if (path == "/v1/messages" || path.starts_with("/v1/messages/"))
        body = anthropic_error_body(text);
    else if (path.starts_with("/v1/") || path == "/health")
        body = openai_error_body(text);
    else
        body = {{"error", text}};
    res.status = status;
    res.set_content(api_json_text(body, true), "application/json");
}
