#include "agent/agent_reply.h"

std::string agent_json_text(const nlohmann::json& value, utf8_check check) {
    return value.dump(-1, ' ', false,
                      check == utf8_check::replacing ? nlohmann::json::error_handler_t::replace
                                                     : nlohmann::json::error_handler_t::strict);
}

void reply_json(httplib::Response& res, int status, const nlohmann::json& value, utf8_check check) {
    std::string text = agent_json_text(value, check);
    res.status = status;
    res.set_content(std::move(text), "application/json");
}

void reply_json_error(const httplib::Request&, httplib::Response& res, const std::exception& error) {
    reply_json(res, 400, {{"error", error.what()}}, utf8_check::replacing);
}
