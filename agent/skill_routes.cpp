#include "agent/skill_routes.h"

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/agent_reply.h"
#include "agent/request_guard.h"
#include "connectors/skill_folder.h"
#include "connectors/skill_install.h"
#include "connectors/skill_market.h"

using nlohmann::json;

void handle_agent_skill_market(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        reply_json(res, 200, {{"skills", skill_market()}}, utf8_check::replacing);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}

void handle_agent_skill(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        const json body = json::parse(req.body);
        const std::string action = body.value("action", std::string());
        json result;
        if (action == "install") {
            result = install_or_write_skill(body);
        } else if (action == "remove") {
            result = remove_skill(body.at("name").get<std::string>());
        } else {
            throw std::runtime_error("unknown action");
        }
        reply_json(res, 200, result, utf8_check::replacing);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}
