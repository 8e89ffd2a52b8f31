// /v1/messages and /v1/messages/count_tokens on a real `serve` (mivra-test-server, scripted output; qwen3moe fixture
// pack with the Qwen3 template): replies and named event streams with their block indices and stop reasons, errors
// before and during a stream, token counts, keep-alive pings and clients that go away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "serve_process.h"

using json = nlohmann::json;

namespace {

struct sse_event {
    std::string name;
    json data;
};

// Splits a stream into its events; every event must be framed "event: NAME\ndata: JSON\n\n".
std::vector<sse_event> named_events(const std::string& stream) {
    std::vector<sse_event> events;
    size_t at = 0;
    for (size_t end; (end = stream.find("\n\n", at)) != std::string::npos; at = end + 2) {
        const std::string e = stream.substr(at, end - at);
        const size_t data_at = e.find("\ndata: ");
        EXPECT_TRUE(e.starts_with("event: ") && data_at != std::string::npos) << e;
        if (data_at == std::string::npos) continue;
        events.push_back({e.substr(7, data_at - 7), json::parse(e.substr(data_at + 7))});
        EXPECT_EQ(events.back().data.at("type"), events.back().name) << e;
    }
    EXPECT_EQ(at, stream.size()) << "unterminated event";
    return events;
}

// "name", "name index" or "content_block_start index type" per event, pings left out; a run of deltas to one block
// is one entry, as their number depends on the tokeniser.
std::vector<std::string> event_outline(const std::vector<sse_event>& events) {
    std::vector<std::string> outline;
    for (const sse_event& e : events) {
        if (e.name == "ping") continue;
        std::string s = e.name;
        if (e.data.contains("index")) s += " " + e.data["index"].dump();
        if (e.name == "content_block_start") s += " " + e.data["content_block"]["type"].get<std::string>();
        if (e.name == "content_block_delta" && !outline.empty() && outline.back() == s) continue;
        outline.push_back(s);
    }
    return outline;
}

// What a client makes of a stream: the content blocks put together from their deltas.
json accumulated_content(const std::vector<sse_event>& events) {
    json content = json::array();
    std::vector<std::string> partial;
    for (const sse_event& e : events) {
        if (e.name == "content_block_start") {
            EXPECT_EQ(e.data["index"], content.size());
            content.push_back(e.data["content_block"]);
            partial.emplace_back();
        } else if (e.name == "content_block_delta") {
            const size_t i = e.data["index"];
            const json& d = e.data["delta"];
            EXPECT_EQ(i + 1, content.size()) << "delta for a block that is not the last opened";
            for (const char* kind : {"text", "thinking"})
                if (d["type"] == std::string(kind) + "_delta")
                    content[i][kind] = content[i][kind].get<std::string>() + d[kind].get<std::string>();
            if (d["type"] == "input_json_delta") partial[i] += d["partial_json"].get<std::string>();
        } else if (e.name == "content_block_stop") {
            const size_t i = e.data["index"];
            if (content[i]["type"] == "tool_use" && !partial[i].empty()) content[i]["input"] = json::parse(partial[i]);
        }
    }
    return content;
}

json messages_body(const std::string& user_text, json extra = json::object()) {
    extra["messages"] = json::array({{{"role", "user"}, {"content", user_text}}});
    if (!extra.contains("max_tokens")) extra["max_tokens"] = 200;
    return extra;
}

httplib::Result post(const serve_process& server, const std::string& path, const std::string& body) {
    return server.client()->Post(path, body, "application/json");
}

json post_json(const serve_process& server, const json& body, int status = 200) {
    auto res = post(server, "/v1/messages", body.dump());
    EXPECT_TRUE(res);
    if (!res) return nullptr;
    EXPECT_EQ(res->status, status) << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    return json::parse(res->body);
}

std::vector<sse_event> post_stream(const serve_process& server, json body) {
    body["stream"] = true;
    auto res = post(server, "/v1/messages", body.dump());
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/event-stream");
    return named_events(res->body);
}

const json weather_tool = {{"name", "get_weather"},
                           {"description", "Weather of a city"},
                           {"input_schema",
                            {{"type", "object"},
                             {"properties", {{"city", {{"type", "string"}}}}},
                             {"required", json::array({"city"})}}}};

const std::string thinking_text_tool =
    "[[script:<think>\nThe user wants weather.\n</think>\n\nLet me look.\n<tool_call>\n"
    "{\"name\": \"get_weather\", \"arguments\": {\"city\": \"Paris\"}}\n</tool_call>]]";

// In an ASan build, asks the live server to look for leaked memory (the streams that failed or were cut off must
// have freed their state).
void expect_no_leaks(serve_process& server) {
#if defined(__SANITIZE_ADDRESS__)
    server.send_line("leak-check");
    for (int i = 0; i < 600 && server.out().find("leak-check") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.out(), "leak-check 0\n") << server.err();
#else
    (void)server;
#endif
}

serve_options leak_checked() {
    serve_options o;
    o.stdin_pipe = true;
    return o;
}

std::string anthropic_error(const std::string& message) {
    return json({{"type", "error"}, {"error", {{"type", "invalid_request_error"}, {"message", message}}}}).dump();
}

}  // namespace

TEST(AnthropicHttp, RepliesAndStreamsWithTheirBlocks) {
    serve_process server(serve_options{});
    const json body = messages_body("Weather in Paris? " + thinking_text_tool,
                                    {{"model", "claude-test"}, {"tools", json::array({weather_tool})}});

    const json reply = post_json(server, body);
    EXPECT_EQ(reply["id"], "msg_1");
    EXPECT_EQ(reply["type"], "message");
    EXPECT_EQ(reply["role"], "assistant");
    EXPECT_EQ(reply["model"], "claude-test");
    EXPECT_EQ(reply["stop_reason"], "tool_use");
    EXPECT_TRUE(reply["stop_sequence"].is_null());
    EXPECT_EQ(reply["content"],
              json::parse(R"([{"signature":"","thinking":"The user wants weather.\n","type":"thinking"},
                              {"text":"Let me look.\n","type":"text"},
                              {"id":"toolu_1_0","input":{"city":"Paris"},"name":"get_weather","type":"tool_use"}])"));
    EXPECT_GT(reply["usage"]["input_tokens"], 0);
    EXPECT_GT(reply["usage"]["output_tokens"], 0);

    const std::vector<sse_event> events = post_stream(server, body);
    EXPECT_EQ(event_outline(events),
              (std::vector<std::string>{"message_start", "content_block_start 0 thinking", "content_block_delta 0",
                                        "content_block_stop 0", "content_block_start 1 text", "content_block_delta 1",
                                        "content_block_stop 1", "content_block_start 2 tool_use",
                                        "content_block_delta 2", "content_block_stop 2", "message_delta",
                                        "message_stop"}));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front().data["message"],
              json({{"content", json::array()}, {"id", "msg_2"}, {"model", "claude-test"}, {"role", "assistant"},
                    {"stop_reason", nullptr}, {"stop_sequence", nullptr}, {"type", "message"},
                    {"usage", {{"input_tokens", reply["usage"]["input_tokens"]}, {"output_tokens", 0}}}}));
    json expected_content = reply["content"];
    expected_content[0].erase("signature");  // a streamed thinking block has none
    expected_content[2]["id"] = "toolu_2_0";
    EXPECT_EQ(accumulated_content(events), expected_content);
    const sse_event& delta = events[events.size() - 2];
    EXPECT_EQ(delta.data, json({{"type", "message_delta"},
                                {"delta", {{"stop_reason", "tool_use"}, {"stop_sequence", nullptr}}},
                                {"usage", {{"output_tokens", reply["usage"]["output_tokens"]}}}}));
    EXPECT_TRUE(server.wait_for_err("request msg_2: "));

    // Cut by max_tokens; a stop sequence ends the turn; the stop sequence itself is never reported.
    const json cut = post_json(server, messages_body("[[loop:tick ]]", {{"max_tokens", 6}}));
    EXPECT_EQ(cut["stop_reason"], "max_tokens");
    EXPECT_EQ(cut["usage"]["output_tokens"], 6);
    const std::vector<sse_event> cut_stream = post_stream(server, messages_body("[[loop:tick ]]", {{"max_tokens", 6}}));
    EXPECT_EQ(event_outline(cut_stream).front(), "message_start");
    EXPECT_EQ(accumulated_content(cut_stream), cut["content"]);
    EXPECT_EQ(cut_stream[cut_stream.size() - 2].data["delta"]["stop_reason"], "max_tokens");

    const json stopped =
        post_json(server, messages_body("[[script:one two three]]", {{"stop_sequences", json::array({" two"})}}));
    EXPECT_EQ(stopped["content"], json::parse(R"([{"text":"one","type":"text"}])"));
    EXPECT_EQ(stopped["stop_reason"], "end_turn");
    EXPECT_TRUE(stopped["stop_sequence"].is_null());

    // An empty answer: no content, and no block at all in the stream.
    const json empty = post_json(server, messages_body("[[script:<|im_end|>]]"));
    EXPECT_EQ(empty["content"], json::array());
    EXPECT_EQ(empty["stop_reason"], "end_turn");
    EXPECT_EQ(event_outline(post_stream(server, messages_body("[[script:<|im_end|>]]"))),
              (std::vector<std::string>{"message_start", "message_delta", "message_stop"}));
}

TEST(AnthropicHttp, ErrorsBeforeAndDuringTheStream) {
    serve_process server(leak_checked());
    const auto refused = [&](const std::string& body, const std::string& text) {
        auto res = post(server, "/v1/messages", body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        const json error = json::parse(res->body);
        EXPECT_EQ(error["type"], "error");
        EXPECT_EQ(error["error"]["type"], "invalid_request_error");
        EXPECT_NE(error["error"]["message"].get<std::string>().find(text), std::string::npos) << res->body;
    };
    refused("{\"messages\": [", "parse_error");
    refused(R"({"model":"m"})", "key 'messages' not found");
    refused(R"({"messages":[{"role":"user","content":[5]}]})", "cannot use value() with number");
    refused(R"({"messages":[]})", "messages is empty");
    refused(messages_body("hi", {{"mode", "turbo"}}).dump(), "mode must be exact, balanced or fast");
    refused(R"({"messages":[{"role":"user","content":"hi"}],"tools":[{"name":"f","input_schema":)" +
                std::string(100000, '[') + std::string(100000, ']') + "}]}",
            "messages or tools nested deeper than 128 levels");
    {
        // Tool input far deeper than anything a template can walk: refused, and the server stays up.
        std::string input;
        for (int i = 0; i < 100000; ++i) input += "{\"a\":";
        input += "1" + std::string(100000, '}');
        refused(R"({"messages":[{"role":"assistant","content":[{"type":"tool_use","id":"t","name":"f","input":)" +
                    input + R"(}]},{"role":"user","content":"hi"}]})",
                "messages or tools nested deeper than 128 levels");
    }
    auto exact = post(server, "/v1/messages", R"({"messages":[]})");
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->body, anthropic_error("messages is empty"));

    // Output that the template's parser refuses, once the stream has begun: an error event ends it.
    const std::vector<sse_event> events = post_stream(
        server, messages_body("[[script:<tool_call>\n{\"name\": \"get_weather\", oops}\n</tool_call>]]",
                              {{"tools", json::array({weather_tool})}}));
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().name, "message_start");
    EXPECT_EQ(events.front().data["message"]["id"], "msg_1");  // refused requests took no number
    EXPECT_EQ(events.back().name, "error");
    EXPECT_EQ(events.back().data["error"]["type"], "invalid_request_error");
    EXPECT_FALSE(events.back().data["error"]["message"].get<std::string>().empty());
    for (const sse_event& e : events) EXPECT_NE(e.name, "message_stop");
    // The same output without streaming is a 400 after the generation.
    const std::string malformed = "[[script:<tool_call>\n{\"name\": \"get_weather\", oops}\n</tool_call>]]";
    const json plain = post_json(server, messages_body(malformed, {{"tools", json::array({weather_tool})}}), 400);
    EXPECT_EQ(plain["type"], "error");

    const json ok = post_json(server, messages_body("[[script:fine]]"));
    EXPECT_EQ(ok["id"], "msg_3");
    EXPECT_EQ(ok["content"][0]["text"], "fine");
    EXPECT_EQ(count_of(server.err(), "request msg_1: "), 0);  // the failed stream prints no statistics line
    expect_no_leaks(server);
}

TEST(AnthropicHttp, CountTokensMatchesThePromptOfTheReply) {
    serve_process server(serve_options{});  // one slot
    const json conversation = json::parse(R"({
        "system": [{"type": "text", "text": "x-anthropic-billing-header: v=1; cch=ab12c; rest"},
                   {"type": "text", "text": " Be brief."}],
        "messages": [
            {"role": "user", "content": "Weather in Paris?"},
            {"role": "assistant", "content": [{"type": "text", "text": "Let me look."},
                {"type": "tool_use", "id": "t1", "name": "get_weather", "input": {"city": "Paris"}}]},
            {"role": "user", "content": [{"type": "tool_result", "tool_use_id": "t1", "content": "sunny"},
                {"type": "text", "text": "Thanks. [[script:Sunny.]]"}]}]})");
    json with_tools = conversation;
    with_tools["tools"] = json::array({weather_tool});

    for (const json& body : {conversation, with_tools}) {
        auto counted = post(server, "/v1/messages/count_tokens", body.dump());
        ASSERT_TRUE(counted);
        ASSERT_EQ(counted->status, 200) << counted->body;
        EXPECT_EQ(counted->get_header_value("Content-Type"), "application/json");
        const json count = json::parse(counted->body);
        ASSERT_EQ(count.size(), 1u) << counted->body;
        json request = body;
        request["max_tokens"] = 20;
        const json reply = post_json(server, request);
        EXPECT_EQ(count["input_tokens"], reply["usage"]["input_tokens"]) << body.dump();
        EXPECT_EQ(reply["content"][0]["text"], "Sunny.");
    }

    // Counting never waits for the engine: it answers while the only slot is generating, and the stream is then
    // still running (it hangs up once the count is in, long before its 1500 tokens).
    std::atomic<bool> streaming{false}, counted{false}, stream_ended{false};
    std::thread busy([&] {
        std::string received;
        server.client()->Post("/v1/messages", {},
                              messages_body("[[loop:tick ]]", {{"max_tokens", 1500}, {"stream", true}}).dump(),
                              "application/json", [&](const char* data, size_t size) {
                                  received.append(data, size);
                                  if (received.find("content_block_delta") != std::string::npos) streaming = true;
                                  if (received.find("message_stop") != std::string::npos) stream_ended = true;
                                  return !counted.load();
                              });
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!streaming && !stream_ended && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(streaming) << "the stream did not start";
    auto during = post(server, "/v1/messages/count_tokens", conversation.dump());
    counted = true;
    busy.join();
    ASSERT_TRUE(during);
    EXPECT_EQ(during->status, 200);
    EXPECT_FALSE(stream_ended) << "the count waited for the generation";

    auto missing = post(server, "/v1/messages/count_tokens", R"({"model":"m"})");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 400);
    EXPECT_NE(missing->body.find("key 'messages' not found"), std::string::npos) << missing->body;
    auto none = post(server, "/v1/messages/count_tokens", R"({"messages":[]})");  // not refused by us
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->status == 200 || none->status == 400) << none->body;
    EXPECT_TRUE(json::parse(none->body).contains(none->status == 200 ? "input_tokens" : "error")) << none->body;
}

TEST(AnthropicHttp, PingsDuringPrefillAndClientsThatGoAway) {
    serve_process server(leak_checked());
    // A prompt of several 512-token chunks: a ping between chunks, before any block.
    std::string long_text;
    for (int i = 0; i < 300; ++i) long_text += "word" + std::to_string(i) + " ";
    const std::vector<sse_event> events = post_stream(server, messages_body(long_text + "[[script:Hi]]"));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].name, "message_start");
    EXPECT_GT(events[0].data["message"]["usage"]["input_tokens"], 512);
    EXPECT_EQ(events[1].name, "ping");
    EXPECT_EQ(events[1].data, json({{"type", "ping"}}));
    EXPECT_EQ(events.back().name, "message_stop");

    // A client that hangs up after a few deltas ends its generation early; the statistics line still comes.
    std::string received;
    int deltas = 0;
    const json body = messages_body("[[loop:tick ]]", {{"max_tokens", 1500}, {"stream", true}});
    server.client()->Post("/v1/messages", {}, body.dump(), "application/json", [&](const char* data, size_t size) {
        received.append(data, size);
        deltas = count_of(received, "event: content_block_delta");
        return deltas < 3;
    });
    EXPECT_GE(deltas, 3);
    ASSERT_TRUE(server.wait_for_err("request msg_2: "));
    const std::string err = server.err();
    const size_t line = err.find("request msg_2: ");
    const std::string stats = err.substr(line, err.find('\n', line) - line);
    const size_t generated_end = stats.find(" generated");
    const int generated = std::stoi(stats.substr(stats.rfind(' ', generated_end - 1) + 1));
    EXPECT_LT(generated, 1500) << stats;
    expect_no_leaks(server);
}
