// The inference API routes of `serve` (api_routes.h).
#include "server/api_routes.h"

#include <string>

#include <nlohmann/json.hpp>

#include "engine/runtime/engine.h"
#include "server/anthropic_request.h"
#include "server/chat_completion.h"
#include "server/loopback_guard.h"
#include "server/request_body.h"
#include "server/reply_helpers.h"

std::string served_model_name(const std::string& pack_path) {
    const size_t last = pack_path.find_last_not_of("/\\");
    if (last == std::string::npos) return "";
    const size_t sep = pack_path.find_last_of("/\\", last);
    const size_t first = sep == std::string::npos ? 0 : sep + 1;
    return pack_path.substr(first, last + 1 - first);
}

void handle_health(const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"status\":\"ok\"}", "application/json");
}

void handle_models(const engine& eng, const httplib::Request&, httplib::Response& res) {
    const nlohmann::json body = {
        {"object", "list"},
        {"data", nlohmann::json::array({{{"id", served_model_name(eng.options.pack_dir)},
                                         {"object", "model"},
                                         {"owned_by", "mivra"}}})}};
    res.set_content(api_json_text(body), "application/json");
}

void register_api_routes(httplib::Server& server, engine& eng, std::atomic<uint64_t>& request_counter) {
    install_loopback_guard(server, eng.options.host, eng.options.port);
    server.Get("/health", handle_health);
    server.Get("/v1/models",
               [&eng](const httplib::Request& req, httplib::Response& res) { handle_models(eng, req, res); });
    // These routes read their own bodies, within the budget of bodies being read and parsed at once.
    const completion_route route{eng, request_counter};
    server.Post("/v1/chat/completions",
                [route](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                    std::string body;
                    body_budget_hold hold;
                    if (read_request_body(req, res, reader, body, hold))
                        handle_completion(route, std::move(body), res, api_dialect::openai, std::move(hold));
                });
    server.Post("/v1/messages",
                [route](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                    std::string body;
                    body_budget_hold hold;
                    if (read_request_body(req, res, reader, body, hold))
                        handle_messages(route, std::move(body), res, std::move(hold));
                });
    server.Post("/v1/messages/count_tokens",
                [&eng](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                    std::string body;
                    body_budget_hold hold;
                    if (read_request_body(req, res, reader, body, hold))
                        handle_count_tokens(eng, std::move(body), res, std::move(hold));
                });
}
