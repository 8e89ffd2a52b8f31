#include "agent/connector_routes.h"

#include <exception>
#include <stdexcept>
#include <string>

#include "agent/agent_reply.h"
#include "agent/request_guard.h"
#include "connectors/connector_catalog.h"
#include "connectors/connector_management.h"

using nlohmann::json;

void handle_agent_market(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        json catalog = load_connector_catalog();
        auto connectors = catalog.find("connectors");
        json reply = {{"connectors", connectors != catalog.end() ? *connectors : json::array()},
                      {"runtimes", find_runtimes()}};
        reply_json(res, 200, reply, utf8_check::strict);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}

void handle_agent_connector(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        json body = json::parse(req.body);
        std::string action = body.value("action", "");
        json result;
        if (action == "add") {
            result = add_connector_from_request(body);
        } else if (action == "remove") {
            result = delete_connector(body.at("name").get<std::string>());
        } else if (action == "enable" || action == "disable") {
            result = set_connector_enabled(body.at("name").get<std::string>(), action == "enable");
        } else {
            throw std::runtime_error("unknown action");
        }
        reply_json(res, 200, result, utf8_check::replacing);
    } catch (const std::exception& e) {
        reply_json_error(req, res, e);
    }
}
