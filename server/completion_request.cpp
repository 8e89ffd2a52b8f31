#include "server/completion_request.h"

#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "engine/runtime/engine.h"
#include "engine/runtime/lossy_modes.h"
#include "server/api_routes.h"
#include "server/request_body.h"
#include "server/request_nesting.h"

using json = nlohmann::ordered_json;

namespace {

// A number field: integers and fractions alike (a fraction is cut off, values beyond the type's range are held at
// its limits), booleans as 0 and 1; any other type fails with the JSON library's type error.
template <typename Int>
Int integer_value(const json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    constexpr double lo = double(std::numeric_limits<Int>::min());
    constexpr double hi = double(std::numeric_limits<Int>::max());
    if (value.is_number_float()) {
        const double v = std::trunc(value.get<double>());
        if (v <= lo) return std::numeric_limits<Int>::min();
        if (v >= hi) return std::numeric_limits<Int>::max();
        return Int(v);
    }
    if (value.is_number_unsigned()) {
        const uint64_t v = value.get<uint64_t>();
        return v > uint64_t(std::numeric_limits<Int>::max()) ? std::numeric_limits<Int>::max() : Int(v);
    }
    if (value.is_number_integer()) {
        const int64_t v = value.get<int64_t>();
        if (v < int64_t(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
        if (v > int64_t(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
        return Int(v);
    }
    return value.get<Int>();
}

int32_t int32_field(const json& body, const char* key, int32_t fallback) {
    const auto it = body.find(key);
    return it == body.end() ? fallback : integer_value<int32_t>(*it);
}

float float_field(const json& body, const char* key, float fallback) {
    const auto it = body.find(key);
    if (it == body.end()) return fallback;
    if (it->is_boolean()) return it->get<bool>() ? 1.0f : 0.0f;
    return it->get<float>();
}

bool bool_field(const json& body, const char* key, bool fallback) {
    const auto it = body.find(key);
    return it == body.end() ? fallback : it->get<bool>();
}

std::string string_field(const json& body, const char* key, const std::string& fallback) {
    const auto it = body.find(key);
    return it == body.end() ? fallback : it->get<std::string>();
}

// "stop": one string, or the string elements of an array (member values of an object); null adds nothing.
void append_stop_strings(const json& body, std::vector<std::string>& stop) {
    const auto it = body.find("stop");
    if (it == body.end() || it->is_null()) return;
    if (it->is_string()) {
        stop.push_back(it->get<std::string>());
        return;
    }
    if (!it->is_structured()) {
        (void)it->get<std::string>();  // the type error for a string, naming the value's type
        return;
    }
    for (const json& s : *it) stop.push_back(s.get<std::string>());
}

}  // namespace

// llama-common's JSON value is the JSON library's insertion-ordered value itself, kept in place (its json.cpp: "a
// common_json is the backing value, so any value of a tree can be used as a common_json"). Handing it the body
// parsed here saves a second parse of every body into a second full tree.
const common_json& chat_library_view(const json& value) {
    static_assert(sizeof(json) == 2 * sizeof(void*) && sizeof(json) <= sizeof(common_json) &&
                      alignof(json) <= alignof(common_json),
                  "the chat library's JSON value no longer holds the library's value");
    return *reinterpret_cast<const common_json*>(&value);
}

completion_request read_completion_request(const engine& eng, const std::string& text, api_dialect dialect) {
    check_body_nesting(text);
    return read_completion_request(eng, parse_request_body(text, completion_body_keys), dialect);
}

completion_request read_completion_request(const engine& eng, const json& body, api_dialect dialect) {
    completion_request req;
    req.lossy = eng.runner->lossy;
    req.model = served_model_name(eng.options.pack_dir);

    check_request_nesting(body);
    const common_json& chat_body = chat_library_view(body);

    common_chat_templates_inputs inputs;
    inputs.messages = common_chat_msgs_parse_oaicompat(chat_body.at("messages"));
    if (inputs.messages.empty()) throw std::runtime_error("messages is empty");
    if (chat_body.contains("tools")) inputs.tools = common_chat_tools_parse_oaicompat(chat_body.at("tools"));
    inputs.tool_choice = common_chat_tool_choice_parse_oaicompat(string_field(body, "tool_choice", "auto"));
    std::map<std::string, bool> caps;
    bool supports_thinking = false;
    {
        std::lock_guard<std::mutex> lock(chat_template_mutex());
        caps = common_chat_templates_get_caps(eng.templates.get());
        supports_thinking = common_chat_templates_support_enable_thinking(eng.templates.get());
    }
    inputs.parallel_tool_calls = bool_field(body, "parallel_tool_calls", caps["supports_parallel_tool_calls"]);
    inputs.reasoning_format = common_reasoning_format_from_name(string_field(body, "reasoning_format", "deepseek"));
    inputs.enable_thinking = supports_thinking;

    if (const auto kw = body.find("chat_template_kwargs"); kw != body.end()) {
        // Read as the sorted-key type, so values are written with sorted keys, as the template has always had them.
        for (const auto& [name, value] : nlohmann::json(*kw).get<nlohmann::json::object_t>())
            inputs.chat_template_kwargs[name] = value.dump();
    }
    // Only a JSON true turns thinking on; false, or anything else (the string "true" too), turns it off. The
    // template gets the same answer as a JSON boolean: the chat library hands kwargs to the template after its own
    // enable_thinking, and a non-empty string there would read as on.
    if (const auto it = inputs.chat_template_kwargs.find("enable_thinking"); it != inputs.chat_template_kwargs.end()) {
        inputs.enable_thinking = it->second == "true";
        it->second = inputs.enable_thinking ? "true" : "false";
    }

    req.session = std::make_shared<chat_session>(eng.templates.get(), eng.vocab, inputs,
                                                        chat_session_params{});
    inputs = common_chat_templates_inputs();
    req.prompt = eng.tokenize(req.session->prompt().str());
    req.stop = req.session->stops();
    append_stop_strings(body, req.stop);

    const int32_t n_ctx = eng.n_ctx();
    const int32_t n_prompt = int32_t(req.prompt.size());
    if (n_prompt >= n_ctx) {
        throw std::runtime_error("prompt is " + std::to_string(n_prompt) + " tokens, the context is " +
                                 std::to_string(n_ctx) + " (mivra serve -c)");
    }
    const int32_t room = std::max(1, n_ctx - n_prompt);
    const int32_t max_tokens = int32_field(body, "max_tokens", room);
    const int32_t requested = int32_field(body, "max_completion_tokens", max_tokens);
    req.n_predict = room < requested ? room : requested >= 1 ? requested : 1;

    req.sampling.temperature = float_field(body, "temperature", 0.6f);
    req.sampling.top_p = float_field(body, "top_p", 0.95f);
    req.sampling.top_k = int32_field(body, "top_k", 20);
    if (const auto it = body.find("seed"); it != body.end())
        req.sampling.seed = static_cast<uint32_t>(integer_value<int64_t>(*it));
    else
        req.sampling.seed = 0xFFFFFFFFu;
    req.stream = bool_field(body, "stream", false);
    if (const auto it = body.find("mode"); it != body.end()) req.lossy = parse_lossy_mode(it->get<std::string>());
    if (dialect == api_dialect::anthropic) req.model = string_field(body, "model", req.model);
    return req;
}
