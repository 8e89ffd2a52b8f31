#include "agent/provider_relay.h"

#include <cstddef>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include <nlohmann/json.hpp>

#include "agent/agent_reply.h"
#include "agent/provider_http.h"
#include "agent/request_guard.h"
#include "common/process_state.h"
#include "common/http_url.h"
#include "common/text_helpers.h"

using nlohmann::json;

namespace {

constexpr size_t error_body_limit = 65536;      // appended while shorter: at most this plus one block
constexpr size_t model_list_limit = 8u << 20;    // the same for the model list
constexpr size_t error_text_limit = 300;         // a body that is not JSON, cut in the middle

// The host name of the hosted model router that wants to know the calling program.
constexpr char router_host[] = "openrouter.ai";

std::string json_text_replacing(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string error_object_text(const std::string& message) {
    return json_text_replacing({{"error", {{"message", message}}}});
}

// Runs one relay: posts the body to the provider and writes its answer (or the error) to the page. Returns when the
// provider's body has ended, the page has gone, or a time limit struck.
void relay_provider_stream(const provider_config& config, const std::string& body, bool stream,
                           httplib::DataSink& sink) {
    int status = 0;
    std::string error_body, error;
    // Blocks of a successful answer go to the page at once; the body of a refusal is kept for the message.
    const auto relay_provider_chunk = [&](const char* data, size_t length) {
        if (status == 200) return sink.write(data, length);
        if (error_body.size() < error_body_limit) error_body.append(data, length);
        return true;
    };
    const int result = stream_http_request("POST", config.base_url + "/chat/completions", provider_headers(config),
                                           body, relay_provider_chunk, error, &status,
                                           [&sink] { return sink.is_writable(); });
    if (result != 200) {
        const std::string text = error_object_text(result != 0 ? provider_error_text(result, error_body) : error);
        const std::string out = stream ? "\n\ndata: " + text + "\n\n" : text;
        sink.write(out.data(), out.size());
    }
    sink.done();
}

} // namespace

provider_config read_provider_config() {
    const json& settings = agent_state.settings;
    const json provider = settings.value("provider", json::object());
    provider_config config;
    config.base_url = provider.value("base_url", std::string());
    while (!config.base_url.empty() && config.base_url.back() == '/') config.base_url.pop_back();
    config.model = provider.value("model", std::string());
    const json keys = settings.value("provider_keys", json::object());
    if (keys.is_object()) {
        const auto it = keys.find(config.base_url);
        if (it != keys.end() && it->is_string()) config.key = it->get<std::string>();
    }
    return config;
}

std::string provider_headers(const provider_config& config) {
    std::string headers = "Content-Type: application/json\r\nAccept: text/event-stream, application/json\r\n";
    if (!config.key.empty()) headers += "Authorization: Bearer " + config.key + "\r\n";
    if (config.base_url.find(router_host) != std::string::npos) headers += "X-Title: Mivra\r\n";
    return headers;
}

std::string provider_error_text(int status, const std::string& body) {
    std::string message;
    try {
        const json parsed = json::parse(body);
        if (parsed.is_object() && parsed.contains("error")) {
            const json& error = parsed["error"];
            message = error.is_object() ? error.value("message", error.dump()) : error.dump();
        } else if (parsed.is_object() && parsed.contains("message")) {
            message = parsed["message"].get<std::string>();
        }
    } catch (const std::exception&) {
        message = cut_middle(body, error_text_limit);
    }
    while (!message.empty() && (std::string_view(" \t\n\v\f\r.").find(message.back()) != std::string_view::npos)) {
        message.pop_back();
    }
    if (message.empty()) message = "no details";
    std::string hint;
    if (status == 401 || status == 403) {
        hint = " Check the API key in Settings → Model.";
    } else if (status == 404) {
        hint = " Check the model name and the address in Settings → Model.";
    } else if (status == 429) {
        hint = " The provider is limiting requests or the account has no credit left.";
    }
    return "the provider answered " + std::to_string(status) + ": " + message + "." + hint;
}

void check_provider_address(const std::string& base_url) {
    if (!base_url.starts_with("http://")) return;
    constexpr size_t no_limit = std::numeric_limits<size_t>::max();
    url_parts parts;
    // An address that does not parse is never contacted (the client refuses it the same way).
    if (split_http_url(base_url, parts, no_limit, no_limit) && !is_loopback_host(parts.host)) {
        throw std::runtime_error("the provider address must start with https:// (or http:// for a program on this PC)");
    }
}

void handle_agent_llm(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    try {
        json body = json::parse(req.body);
        provider_config config;
        {
            std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
            config = read_provider_config();
        }
        if (!config.base_url.starts_with("http://") && !config.base_url.starts_with("https://")) {
            throw std::runtime_error("set the provider's address in Settings → Model");
        }
        check_provider_address(config.base_url);
        if (config.model.empty()) throw std::runtime_error("set the model name in Settings → Model");

        if (body.is_null()) body = json::object();
        body["model"] = config.model;
        body.erase("mode");
        body.erase("chat_template_kwargs");
        const bool stream = body.value("stream", false);
        if (stream) body["stream_options"] = {{"include_usage", true}};
        std::string text = json_text_replacing(body);

        res.status = 200;
        res.set_chunked_content_provider(
            stream ? "text/event-stream" : "application/json",
            [config = std::move(config), text = std::move(text), stream](size_t, httplib::DataSink& sink) {
                relay_provider_stream(config, text, stream, sink);
                return true;
            });
    } catch (const std::exception& e) {
        reply_json(res, 400, {{"error", {{"message", e.what()}}}}, utf8_check::replacing);
    }
}

void handle_agent_llm_models(const httplib::Request& req, httplib::Response& res) {
    if (!check_agent_request(req, res, true)) return;
    json reply = {{"models", json::array()}};
    provider_config config;
    try {
        {
            std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
            config = read_provider_config();
        }
        check_provider_address(config.base_url);
    } catch (const std::exception& e) {
        reply["error"] = e.what();
        reply_json(res, 200, reply, utf8_check::replacing);
        return;
    }

    std::string body, error;
    const auto collect_models_body = [&body](const char* data, size_t length) {
        if (body.size() < model_list_limit) body.append(data, length);
        return true;
    };
    const int status = stream_http_request("GET", config.base_url + "/models", provider_headers(config), "",
                                           collect_models_body, error, nullptr,
                                           [&req] { return !req.is_connection_closed(); });
    if (status == 200) {
        try {
            const json parsed = json::parse(body);
            const json list = parsed.contains("data") ? parsed["data"] : parsed.value("models", json::array());
            for (const json& item : list) {
                if (!item.is_object()) continue;
                if (item.contains("id")) {
                    reply["models"].push_back(item["id"].get<std::string>());
                } else if (item.contains("name")) {
                    reply["models"].push_back(item["name"].get<std::string>());
                } else {
                    reply["models"].push_back("");
                }
            }
        } catch (const std::exception&) {
            reply["error"] = "the provider's model list could not be read";
        }
    } else {
        reply["error"] = status != 0 ? provider_error_text(status, body) : error;
    }
    reply_json(res, 200, reply, utf8_check::replacing);
}
