// The chat completion request reader and the reply helpers, in process, on a real engine over the qwen3moe fixture
// pack (real qwen2 vocabulary, real Qwen3 template).
#include <gtest/gtest.h>

#include <memory>

#include "engine/runtime/engine.h"
#include "engine/runtime/lossy_modes.h"
#include "serve_process.h"
#include "server/api_routes.h"
#include "server/chat_completion.h"
#include "server/completion_request.h"
#include "server/openai_reply.h"
#include "server/reply_helpers.h"
#include "server/openai_stream.h"

using json = nlohmann::json;

namespace {

engine& test_engine() {
    static const std::unique_ptr<engine> eng = [] {
        engine_options o;
        o.pack_dir = fixture_pack_dir() + "/";  // a trailing separator must not change the model id
        o.n_threads = 1;
        o.io_threads = 1;
        o.n_ctx = 256;
        o.cache_mb = 64;
        o.kv_disk_mb = 0;
        return std::make_unique<engine>(o);
    }();
    return *eng;
}

std::string user_body(const std::string& extra_fields, const std::string& content = "Hello") {
    return R"({"messages":[{"role":"user","content":")" + content + "\"}]" +
           (extra_fields.empty() ? "" : "," + extra_fields) + "}";
}

completion_request read(const std::string& body) {
    return read_completion_request(test_engine(), body, api_dialect::openai);
}

// The exception text of reading `body`, or "" when it reads.
std::string read_error(const std::string& body) {
    try {
        read(body);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(ServedModelName, LastComponentOfThePackPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"/packs/model-x", "model-x"},  {"/packs/model-x/", "model-x"}, {"/packs/model-x//", "model-x"},
        {"C:\\packs\\model-x", "model-x"}, {"C:\\packs\\model-x\\", "model-x"}, {"model-x", "model-x"},
        {"./big-moe", "big-moe"},        {"/", ""},                       {"", ""},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(served_model_name(path), name) << path;
}

TEST(CompletionRequest, DefaultsAndRenderedPrompt) {
    const completion_request r = read(user_body(""));
    EXPECT_EQ(r.model, "qwen3moe");
    EXPECT_FLOAT_EQ(r.sampling.temperature, 0.6f);
    EXPECT_FLOAT_EQ(r.sampling.top_p, 0.95f);
    EXPECT_EQ(r.sampling.top_k, 20);
    EXPECT_EQ(r.sampling.seed, 0xFFFFFFFFu);
    EXPECT_FALSE(r.stream);
    const lossy_params engine_default = test_engine().runner->lossy;
    EXPECT_EQ(r.lossy.expert_mass, engine_default.expert_mass);
    EXPECT_EQ(r.lossy.lowbit, engine_default.lowbit);
    // The prompt is the Qwen3 rendering, tokenised with special tokens parsed.
    const std::string& prompt = r.session->prompt().str();
    EXPECT_TRUE(prompt.ends_with("<|im_start|>user\nHello<|im_end|>\n<|im_start|>assistant\n")) << prompt;
    EXPECT_EQ(r.prompt, test_engine().tokenize(prompt));
    // Without max_tokens the whole room of the context is asked for.
    EXPECT_EQ(r.n_predict, test_engine().n_ctx() - int32_t(r.prompt.size()));
}

TEST(CompletionRequest, NumberFieldsConvertAndClamp) {
    const int32_t room = test_engine().n_ctx() - int32_t(read(user_body("")).prompt.size());
    struct length_case {
        std::string fields;
        int32_t n_predict;
    } lengths[] = {
        {R"("max_tokens":5)", 5},
        {R"("max_tokens":0)", 1},
        {R"("max_tokens":-7)", 1},
        {R"("max_tokens":5.9)", 5},
        {R"("max_tokens":true)", 1},
        {R"("max_tokens":5,"max_completion_tokens":9)", 9},
        {R"("max_tokens":100000)", room},
        {R"("max_tokens":1e30)", room},
        {R"("max_tokens":-1e30)", 1},
        {R"("max_completion_tokens":12345678901)", room},
    };
    for (const auto& c : lengths) EXPECT_EQ(read(user_body(c.fields)).n_predict, c.n_predict) << c.fields;

    struct seed_case {
        std::string fields;
        uint32_t seed;
    } seeds[] = {
        {R"("seed":42)", 42}, {R"("seed":42.9)", 42}, {R"("seed":true)", 1}, {R"("seed":-1)", 0xFFFFFFFFu},
        {R"("seed":4294967297)", 1},
    };
    for (const auto& c : seeds) EXPECT_EQ(read(user_body(c.fields)).sampling.seed, c.seed) << c.fields;

    const completion_request r = read(user_body(R"("temperature":0,"top_p":1,"top_k":3.7,"stream":true)"));
    EXPECT_FLOAT_EQ(r.sampling.temperature, 0.0f);
    EXPECT_FLOAT_EQ(r.sampling.top_p, 1.0f);
    EXPECT_EQ(r.sampling.top_k, 3);
    EXPECT_TRUE(r.stream);
}

TEST(CompletionRequest, StopStringsFollowTheTemplatesOwn) {
    const std::vector<std::string> own = read(user_body("")).stop;
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {R"("stop":"END")", {"END"}},
        {R"("stop":["a","b"])", {"a", "b"}},
        {R"("stop":{"x":"c"})", {"c"}},
        {R"("stop":null)", {}},
        {R"("stop":[])", {}},
    };
    for (const auto& [fields, added] : cases) {
        std::vector<std::string> want = own;
        want.insert(want.end(), added.begin(), added.end());
        EXPECT_EQ(read(user_body(fields)).stop, want) << fields;
    }
}

TEST(CompletionRequest, ThinkingFollowsOnlyAJsonTrue) {
    const auto prompt_of = [](const std::string& fields) { return read(user_body(fields)).session->prompt().str(); };
    const std::string closed_think = "<|im_start|>assistant\n<think>\n\n</think>\n\n";
    EXPECT_FALSE(prompt_of("").ends_with(closed_think));  // the template supports thinking: on by default
    EXPECT_FALSE(prompt_of(R"("chat_template_kwargs":{"enable_thinking":true})").ends_with(closed_think));
    EXPECT_TRUE(prompt_of(R"("chat_template_kwargs":{"enable_thinking":false})").ends_with(closed_think));
    EXPECT_TRUE(prompt_of(R"("chat_template_kwargs":{"enable_thinking":"true"})").ends_with(closed_think));
}

TEST(CompletionRequest, ModePresetAppliesToThisRequestOnly) {
    const lossy_params fast = read(user_body(R"("mode":"fast")")).lossy;
    EXPECT_EQ(fast.expert_mass, parse_lossy_mode("fast").expert_mass);
    EXPECT_TRUE(fast.lowbit);
    EXPECT_FALSE(read(user_body("")).lossy.lowbit);
}

TEST(CompletionRequest, Errors) {
    const std::string tools = R"("tools":[{"type":"function","function":{"name":"f","parameters":{"type":"object"}}}])";
    const std::pair<std::string, std::string> cases[] = {
        {"not json", "[json.exception.parse_error.101]"},
        {R"({"messages":[]})", "messages is empty"},
        {R"({"model":"x"})", "messages"},  // the chat library's text names the missing key
        {user_body(R"("temperature":"hot")"), "type must be number, but is string"},
        {user_body(R"("max_tokens":null)"), "type must be number, but is null"},
        {user_body(R"("stream":1)"), "type must be boolean, but is number"},
        {user_body(R"("stop":7)"), "type must be string, but is number"},
        {user_body(R"("stop":["a",1])"), "type must be string, but is number"},
        {user_body(R"("tool_choice":{"type":"auto"})"), "type must be string, but is object"},
        {user_body(tools + R"(,"tool_choice":"sometimes")"), "sometimes"},
        {user_body(R"("seed":"7")"), "type must be number, but is string"},
        {user_body(R"("chat_template_kwargs":[1])"), "type must be object, but is array"},
        {user_body(R"("mode":"turbo")"), "mode must be exact, balanced or fast"},
    };
    for (const auto& [body, text] : cases) EXPECT_NE(read_error(body).find(text), std::string::npos)
        << body << " -> " << read_error(body);
    // Each of "none", "auto" and "required" is a tool choice the chat library knows.
    for (const char* choice : {"none", "auto", "required"})
        EXPECT_EQ(read_error(user_body(tools + R"(,"tool_choice":")" + choice + "\"")), "") << choice;
}

TEST(CompletionRequest, PromptMustLeaveRoomInTheContext) {
    // Grow the message until the prompt takes n_ctx - 1 tokens: it runs with one token to generate.
    const int32_t n_ctx = test_engine().n_ctx();
    std::string content = "x";
    const auto prompt_size = [&] { return int32_t(read(user_body("", content)).prompt.size()); };
    for (int32_t i = prompt_size(); i < n_ctx - 1; ++i) content += " a";  // one token each
    while (prompt_size() < n_ctx - 1) content += " a";
    ASSERT_EQ(int32_t(read(user_body("", content)).prompt.size()), n_ctx - 1);
    EXPECT_EQ(read(user_body(R"("max_tokens":100)", content)).n_predict, 1);

    const std::string n = std::to_string(n_ctx);
    EXPECT_EQ(read_error(user_body("", content + " a")),
              "prompt is " + n + " tokens, the context is " + n + " (mivra serve -c)");
}

TEST(ToolCallIds, StableThroughFeedsAndFinish) {
    const std::string body = user_body(
        R"("tools":[{"type":"function","function":{"name":"get_weather","parameters":{"type":"object","properties":{"city":{"type":"string"}}}}}])");
    const completion_request r = read(body);
    const tool_id_state ids{r.session, std::make_shared<std::vector<std::string>>(), "7", false};
    EXPECT_EQ(make_tool_call_id(ids), "call_7_0");
    EXPECT_EQ(make_tool_call_id(tool_id_state{r.session, ids.ids, "7", true}), "toolu_7_0");

    token_text out;
    out.append("<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\": \"Pa", 1);
    const common_chat_msg partial = parse_chat_output(ids, out, false);
    ASSERT_EQ(partial.tool_calls.size(), 1u);
    EXPECT_EQ(partial.tool_calls[0].id, "call_7_0");

    token_text rest;
    rest.append("ris\"}}\n</tool_call>\n<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\": \"Oslo\"}}\n"
                "</tool_call>", 2);
    const common_chat_msg final_msg = parse_chat_output(ids, rest, true);
    ASSERT_EQ(final_msg.tool_calls.size(), 2u);
    EXPECT_EQ(final_msg.tool_calls[0].id, "call_7_0");
    EXPECT_EQ(final_msg.tool_calls[1].id, "call_7_1");
    EXPECT_EQ(*ids.ids, (std::vector<std::string>{"call_7_0", "call_7_1"}));

    const json message = openai_message_json(final_msg);
    EXPECT_EQ(message["role"], "assistant");
    EXPECT_EQ(message["tool_calls"][1]["id"], "call_7_1");
    EXPECT_EQ(json::parse(message["tool_calls"][0]["function"]["arguments"].get<std::string>()),
              json::parse(R"({"city":"Paris"})"));
    EXPECT_EQ(openai_finish_reason(final_msg, generation_stats{}), "tool_calls");
}

TEST(OpenaiDelta, OnlyWhatTheDiffCarries) {
    common_chat_msg_diff reasoning;
    reasoning.reasoning_content_delta = "hmm";
    common_chat_msg_diff content;
    content.content_delta = "Hi";
    common_chat_msg_diff new_call;
    new_call.tool_call_index = 0;
    new_call.tool_call_delta = {"get_weather", "", "call_3_0"};
    common_chat_msg_diff arguments;
    arguments.tool_call_index = 1;
    arguments.tool_call_delta.arguments = "{\"ci";
    common_chat_msg_diff bare;
    bare.tool_call_index = 2;
    const std::pair<common_chat_msg_diff, std::string> cases[] = {
        {reasoning, R"({"reasoning_content":"hmm"})"},
        {content, R"({"content":"Hi"})"},
        {new_call, R"({"tool_calls":[{"function":{"name":"get_weather"},"id":"call_3_0","index":0,"type":"function"}]})"},
        {arguments, R"({"tool_calls":[{"function":{"arguments":"{\"ci"},"index":1}]})"},
        {bare, R"({"tool_calls":[{"index":2}]})"},
        {common_chat_msg_diff{}, "{}"},
    };
    for (const auto& [diff, text] : cases) EXPECT_EQ(api_json_text(openai_delta(diff)), text);
}

TEST(ApiJson, ErrorBodiesSurviveInvalidUtf8) {
    EXPECT_EQ(api_json_text(openai_error_body("caf\xC3\xA9")),
              "{\"error\":{\"message\":\"caf\xC3\xA9\",\"type\":\"invalid_request_error\"}}");
    EXPECT_THROW(api_json_text(json("bad \xFF")), json::type_error);
    EXPECT_EQ(api_json_text(openai_error_body("bad \xFF"), true),
              "{\"error\":{\"message\":\"bad \xEF\xBF\xBD\",\"type\":\"invalid_request_error\"}}");
}
