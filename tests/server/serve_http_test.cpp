// `mivra serve` as a real process: its routes, the port probe, plain and streamed completions with curl and an HTTP
// client, tool calls, reasoning, stop strings, the text fallback and the error bodies. Tests that need chosen output
// run mivra-test-server, whose engine emits the tokens scripted in the last message (scripted_output.cpp).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "fixtures/test_support.h"
#include "serve_process.h"

using json = nlohmann::json;

namespace {

std::string chat(const std::string& content, const std::string& extra = "") {
    json body = {{"messages", json::array({{{"role", "user"}, {"content", content}}})}, {"temperature", 0}};
    if (!extra.empty()) body.update(json::parse(extra));
    return body.dump();
}

const char* const weather_tools =
    R"({"tools":[{"type":"function","function":{"name":"get_weather","description":"Weather of a city",)"
    R"("parameters":{"type":"object","properties":{"city":{"type":"string"}},"required":["city"]}}}]})";

std::string tool_call_text(const std::string& city) {
    return "<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\": \"" + city + "\"}}\n</tool_call>";
}

struct reply {
    int status = 0;
    std::string type;
    std::string body;
    json value() const { return json::parse(body); }
};

reply post(const serve_process& server, const std::string& body) {
    auto res = server.client()->Post("/v1/chat/completions", body, "application/json");
    if (!res) throw std::runtime_error("no answer: " + httplib::to_string(res.error()));
    return {res->status, res->get_header_value("Content-Type"), res->body};
}

// The data events of a stream, parsed (": ping" comments and the end marker left out).
std::vector<json> chunks(const std::string& stream) {
    std::vector<json> out;
    for (const std::string& e : sse_events(stream))
        if (e != ": ping" && e != "[DONE]") out.push_back(json::parse(e));
    return out;
}

std::string streamed_content(const std::vector<json>& cs, const char* field = "content") {
    std::string text;
    for (const json& c : cs) text += c["choices"][0]["delta"].value(field, "");
    return text;
}

child_result curl(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-sS", "--max-time", "120"};
    all.insert(all.end(), args.begin(), args.end());
    return run_child("/usr/bin/curl", all, scratch_dir());
}

}  // namespace

// The product program: the exact bodies of the simple routes, the banner with the folder's name even when the pack
// path ends in "/", a plain completion through curl, and the stop message.
TEST(Serve, RoutesBannerAndAPlainReplyThroughCurl) {
    serve_options o;
    o.program = "mivra";
    o.pack = fixture_pack_dir() + "/";
    serve_process server(o);
    const std::string base = server.url();

    child_result r = curl({"-i", base + "/health"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Content-Type: application/json"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("\r\n\r\n{\"status\":\"ok\"}")) << r.out;

    r = curl({base + "/v1/models"});
    EXPECT_EQ(r.out, R"({"data":[{"id":"qwen3moe","object":"model","owned_by":"mivra"}],"object":"list"})");

    EXPECT_NE(server.err().find("serving qwen3moe on http://127.0.0.1:" + std::to_string(server.port()) +
                                " (chat UI at /, OpenAI /v1/chat/completions, Anthropic /v1/messages)\n"),
              std::string::npos)
        << server.err();

    r = curl({base + "/v1/chat/completions", "-H", "Content-Type: application/json", "-d",
              chat("Hello", R"({"max_tokens":4})")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json reply = json::parse(r.out);
    EXPECT_EQ(reply["id"], "chatcmpl-1");
    EXPECT_EQ(reply["object"], "chat.completion");
    EXPECT_EQ(reply["model"], "qwen3moe");
    EXPECT_EQ(reply["choices"][0]["finish_reason"], "length");
    EXPECT_EQ(reply["choices"][0]["message"]["role"], "assistant");
    EXPECT_EQ(reply["usage"]["completion_tokens"], 4);
    EXPECT_EQ(reply["usage"]["total_tokens"],
              reply["usage"]["prompt_tokens"].get<int>() + reply["usage"]["completion_tokens"].get<int>());
    // Keys in sorted order, compact.
    EXPECT_TRUE(r.out.starts_with(R"({"choices":[{"finish_reason":"length","index":0,"message":{)")) << r.out;
    EXPECT_TRUE(server.wait_for_err("request chatcmpl-1: "));

    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(server.err().ends_with("\n  Stopping Mivra.\n"));
}

// A port that is taken is refused before the pack is opened: nothing but the error line is printed, whether the
// port is held by another serve or by any other program, and for the host names that mean this machine.
TEST(Serve, PortInUseIsRefusedBeforeLoading) {
    serve_options o;
    o.program = "mivra";
    serve_process first(o);
    const std::string port = std::to_string(first.port());
    const std::string refusal = "error: port " + port +
                                " is in use. Mivra is probably already running: open http://127.0.0.1:" + port +
                                " in your browser, or stop every copy with: pkill -x mivra\n";
    for (const char* host : {"127.0.0.1", "localhost", "0.0.0.0"}) {
        const child_result r = run_child(bin_dir() + "/mivra",
                                         {"serve", fixture_pack_dir(), "--port", port, "--host", host}, scratch_dir());
        EXPECT_EQ(r.exit_code, 1) << host;
        EXPECT_EQ(r.err, refusal) << host;
    }
    auto health = first.client()->Get("/health");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);

    // Another program's socket, shared-port style: still refused.
    const int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int taken = free_port();
    addr.sin_port = htons(uint16_t(taken));
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(other, 4), 0);
    const child_result r =
        run_child(bin_dir() + "/mivra", {"serve", fixture_pack_dir(), "--port", std::to_string(taken)}, scratch_dir());
    close(other);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.starts_with("error: port " + std::to_string(taken) + " is in use.")) << r.err;
}

// The server's sockets: every one is close-on-exec, and the listening one is bound without SO_REUSEPORT, so no
// other socket can share its port.
TEST(Serve, SocketsAreCloseOnExecAndExclusive) {
    serve_options o;
    o.program = "mivra";
    serve_process server(o);
    httplib::Client held("127.0.0.1", server.port());
    held.set_keep_alive(true);
    ASSERT_TRUE(held.Get("/health"));  // an accepted connection stays open beside the listening socket

    int sockets = 0;
    const std::string fds = "/proc/" + std::to_string(server.pid()) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
        std::error_code ec;
        if (!std::filesystem::read_symlink(entry.path(), ec).string().starts_with("socket:")) continue;
        ++sockets;
        std::ifstream info("/proc/" + std::to_string(server.pid()) + "/fdinfo/" + entry.path().filename().string());
        std::string key, flags;
        while (info >> key >> flags && key != "flags:") {
        }
        EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u) << "socket fd " << entry.path().filename();
    }
    EXPECT_GE(sockets, 2);

    const int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(server.port()));
    EXPECT_NE(bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(errno, EADDRINUSE);
    close(other);
}

// A streamed reply carries exactly the text of the plain one: role chunk, content chunks, final chunk, [DONE].
TEST(Completions, StreamedReplyEqualsThePlainOne) {
    serve_process server(serve_options{});
    const std::string answer = "Hello there, friend. Caf\xC3\xA9 \xE2\x82\xAC 12.";
    const reply plain = post(server, chat("[[script:" + answer + "]]"));
    ASSERT_EQ(plain.status, 200) << plain.body;
    EXPECT_EQ(plain.type, "application/json");
    const json p = plain.value();
    EXPECT_EQ(p["id"], "chatcmpl-1");
    EXPECT_EQ(p["choices"][0]["message"]["content"], answer);
    EXPECT_EQ(p["choices"][0]["finish_reason"], "stop");
    EXPECT_NE(plain.body.find("Caf\xC3\xA9"), std::string::npos);  // raw UTF-8, not \u escapes

    const child_result r = curl({"-N", server.url() + "/v1/chat/completions", "-H", "Content-Type: application/json",
                                 "-d", chat("[[script:" + answer + "]]", R"({"stream":true})")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> events = sse_events(r.out);
    ASSERT_GE(events.size(), 4u) << r.out;
    EXPECT_EQ(events.back(), "[DONE]");
    EXPECT_TRUE(r.out.ends_with("\n\ndata: [DONE]\n\n"));
    const std::vector<json> cs = chunks(r.out);
    const json& role = cs.front();
    EXPECT_EQ(events.front(), R"({"choices":[{"delta":{"role":"assistant"},"finish_reason":null,"index":0}],"created":)" +
                                  std::to_string(role["created"].get<int64_t>()) +
                                  R"(,"id":"chatcmpl-2","model":"qwen3moe","object":"chat.completion.chunk"})");
    EXPECT_EQ(streamed_content(cs), answer);
    EXPECT_GT(cs.size(), 4u);  // the answer came in several pieces
    EXPECT_EQ(cs.back()["choices"][0]["delta"], json::object());
    EXPECT_EQ(cs.back()["choices"][0]["finish_reason"], "stop");
    for (size_t i = 1; i + 1 < cs.size(); ++i) EXPECT_TRUE(cs[i]["choices"][0]["finish_reason"].is_null());
    EXPECT_TRUE(server.wait_for_err("request chatcmpl-2: "));
}

// max_tokens ends with "length"; a request's stop string cuts the text before it, also across pieces.
TEST(Completions, LengthAndStopStrings) {
    serve_process server(serve_options{});
    const json looped = post(server, chat("[[loop:ab]]", R"({"max_tokens":5})")).value();
    EXPECT_EQ(looped["choices"][0]["finish_reason"], "length");
    EXPECT_EQ(looped["usage"]["completion_tokens"], 5);

    const std::string script = "[[script:one two three END four]]";
    const json stopped = post(server, chat(script, R"({"stop":"END"})")).value();
    EXPECT_EQ(stopped["choices"][0]["message"]["content"], "one two three ");
    EXPECT_EQ(stopped["choices"][0]["finish_reason"], "stop");

    auto res = server.client()->Post("/v1/chat/completions", chat(script, R"({"stop":["EN","x"],"stream":true})"),
                                     "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(streamed_content(chunks(res->body)), "one two three ");
}

// Two tool calls in one answer: ids call_N_0 and call_N_1, JSON arguments, finish reason "tool_calls".
TEST(Completions, ToolCallsInAPlainReply) {
    serve_process server(serve_options{});
    EXPECT_EQ(post(server, chat("warm-up [[script:ok]]")).status, 200);  // request 1
    const reply r = post(server, chat("[[script:" + tool_call_text("Paris") + "\n" + tool_call_text("Oslo") + "]]",
                                      std::string(weather_tools).replace(0, 1, R"({"parallel_tool_calls":true,)")));
    ASSERT_EQ(r.status, 200) << r.body;
    const json choice = r.value()["choices"][0];
    EXPECT_EQ(choice["finish_reason"], "tool_calls");
    const json& calls = choice["message"]["tool_calls"];
    ASSERT_EQ(calls.size(), 2u) << r.body;
    EXPECT_EQ(calls[0]["id"], "call_2_0");
    EXPECT_EQ(calls[1]["id"], "call_2_1");
    EXPECT_EQ(calls[0]["type"], "function");
    EXPECT_EQ(calls[0]["function"]["name"], "get_weather");
    EXPECT_EQ(json::parse(calls[0]["function"]["arguments"].get<std::string>()), json({{"city", "Paris"}}));
    EXPECT_EQ(json::parse(calls[1]["function"]["arguments"].get<std::string>()), json({{"city", "Oslo"}}));
}

// A streamed tool call: one chunk introduces it (index, id, type, name), the following ones carry only the index
// and argument fragments, and the final chunk says "tool_calls".
TEST(Completions, StreamedToolCallFragments) {
    serve_process server(serve_options{});
    auto res = server.client()->Post(
        "/v1/chat/completions",
        chat("Weather? [[script:Let me check." + tool_call_text("Paris") + "]]",
             std::string(weather_tools).replace(0, 1, R"({"stream":true,)")),
        "application/json");
    ASSERT_TRUE(res);
    const std::vector<json> cs = chunks(res->body);
    std::vector<json> calls;
    for (const json& c : cs)
        if (c["choices"][0]["delta"].contains("tool_calls")) calls.push_back(c["choices"][0]["delta"]["tool_calls"][0]);
    ASSERT_GE(calls.size(), 2u) << res->body;
    EXPECT_EQ(calls[0]["index"], 0);
    EXPECT_EQ(calls[0]["id"], "call_1_0");
    EXPECT_EQ(calls[0]["type"], "function");
    EXPECT_EQ(calls[0]["function"]["name"], "get_weather");
    std::string arguments = calls[0]["function"].value("arguments", "");
    for (size_t i = 1; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i]["index"], 0);
        EXPECT_FALSE(calls[i].contains("id"));
        EXPECT_FALSE(calls[i]["function"].contains("name"));
        arguments += calls[i]["function"]["arguments"].get<std::string>();
    }
    EXPECT_EQ(json::parse(arguments), json({{"city", "Paris"}}));
    EXPECT_EQ(streamed_content(cs), "Let me check.");
    EXPECT_EQ(cs.back()["choices"][0]["finish_reason"], "tool_calls");
}

// Thinking output becomes reasoning_content, streamed as its own deltas, apart from the answer.
TEST(Completions, ReasoningContent) {
    serve_process server(serve_options{});
    const std::string script = "[[script:<think>\nThe user greets me.\n</think>\n\nHello!]]";
    const json plain = post(server, chat(script)).value();
    const std::string reasoning = plain["choices"][0]["message"]["reasoning_content"];
    EXPECT_TRUE(reasoning.starts_with("The user greets me.")) << reasoning;
    EXPECT_EQ(plain["choices"][0]["message"]["content"], "Hello!");

    auto res = server.client()->Post("/v1/chat/completions", chat(script, R"({"stream":true})"), "application/json");
    ASSERT_TRUE(res);
    const std::vector<json> cs = chunks(res->body);
    EXPECT_EQ(streamed_content(cs, "reasoning_content"), reasoning);
    EXPECT_EQ(streamed_content(cs), "Hello!");
}

// Output that is no valid tool call: the stream switches to text once (one stderr line) and sends the rest from
// "<tool_call>" on as content after a line break; the finish reason is that of the last message sent before, so a
// call whose name had already gone out still ends with "tool_calls". The plain reply is a 400.
TEST(Completions, MalformedToolCallFallsBackToText) {
    serve_process server(serve_options{});
    const struct {
        std::string call;
        std::string finish_reason;
    } cases[] = {
        {"<tool_call>\n[1, 2]\n</tool_call> tail\nsecond line", "stop"},
        {"<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\": }}\n</tool_call> tail", "tool_calls"},
    };
    int request = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        auto res = server.client()->Post("/v1/chat/completions",
                                         chat("[[script:Sure." + c.call + "]]",
                                              std::string(weather_tools).replace(0, 1, R"({"stream":true,)")),
                                         "application/json");
        ASSERT_TRUE(res);
        const std::vector<json> cs = chunks(res->body);
        EXPECT_EQ(streamed_content(cs), "Sure.\n" + c.call) << res->body;
        EXPECT_EQ(cs.back()["choices"][0]["finish_reason"], c.finish_reason);
        EXPECT_EQ(sse_events(res->body).back(), "[DONE]");
        const std::string id = "chatcmpl-" + std::to_string(++request);
        const std::string err = server.err();
        const std::string line = "request " + id + ": output not in the tool-call format (";
        ASSERT_EQ(count_of(err, line), 1) << err;
        // The line quotes one line of the parser's message, never the reply: no word of it reaches the log (the
        // chat library's own line would copy the whole reply).
        const size_t start = err.find(line) + line.size();
        const std::string detail = err.substr(start, err.find('\n', start) - start);
        EXPECT_TRUE(detail.ends_with("); sending it as text")) << err;
        EXPECT_LE(detail.size(), 200u) << detail;
        for (const char* reply_word : {"Sure", "tail", "second line", "get_weather", "unparsed"})
            EXPECT_EQ(count_of(err, reply_word), 0) << reply_word << " in\n" << err;

        const reply plain = post(server, chat("[[script:Sure." + c.call + "]]", weather_tools));
        ++request;
        EXPECT_EQ(plain.status, 400);
        EXPECT_EQ(plain.value()["error"]["type"], "invalid_request_error");
    }
}

// Output bytes that are no valid UTF-8 reach the client as U+FFFD, streamed or not: a stray byte in the middle, a
// character cut off by the end of the generation; a character whose bytes come as separate tokens stays whole.
TEST(Completions, InvalidUtf8BecomesReplacementCharacters) {
    serve_process server(serve_options{});
    const std::string fffd = "\xEF\xBF\xBD";
    struct row {
        std::string script, text;
    };
    const row rows[] = {
        {"[[script:Hello{byte:C3} world]]", "Hello" + fffd + " world"},
        {"[[script:a{byte:FF}b {byte:E2}{byte:82}{byte:AC} z{byte:E2}{byte:82}]]", "a" + fffd + "b \xE2\x82\xAC z" + fffd},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.script);
        auto res = server.client()->Post("/v1/chat/completions", chat(r.script, R"({"stream":true})"),
                                         "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(streamed_content(chunks(res->body)), r.text) << res->body;
        EXPECT_EQ(sse_events(res->body).back(), "[DONE]");
        const reply plain = post(server, chat(r.script));
        EXPECT_EQ(plain.status, 200) << plain.body;
        EXPECT_EQ(plain.value()["choices"][0]["message"]["content"], r.text);
        const json message = {{"model", "m"}, {"max_tokens", 64}, {"messages", {{{"role", "user"}, {"content", r.script}}}}};
        auto anthropic = server.client()->Post("/v1/messages", message.dump(), "application/json");
        ASSERT_TRUE(anthropic);
        EXPECT_EQ(anthropic->status, 200) << anthropic->body;
        EXPECT_EQ(json::parse(anthropic->body)["content"][0]["text"], r.text);
    }
    EXPECT_EQ(count_of(server.err(), "output not in the tool-call format"), 0) << server.err();
}

// Refused requests: status 400 with the OpenAI error body, and no request number used up.
TEST(Completions, ErrorBodiesAndRequestNumbers) {
    serve_process server(serve_options{});
    const std::pair<std::string, std::string> cases[] = {
        {R"({"messages":[]})", R"({"error":{"message":"messages is empty","type":"invalid_request_error"}})"},
        {chat("hi", R"({"mode":"turbo"})"),
         R"({"error":{"message":"mode must be exact, balanced or fast","type":"invalid_request_error"}})"},
        {chat("hi", R"({"top_k":"many"})"),
         R"({"error":{"message":"[json.exception.type_error.302] type must be number, but is string","type":"invalid_request_error"}})"},
    };
    for (const auto& [body, answer] : cases) {
        const reply r = post(server, body);
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.type, "application/json");
        EXPECT_EQ(r.body, answer);
    }
    const reply broken = post(server, "{\"messages\": [\xFF");
    EXPECT_EQ(broken.status, 400);
    EXPECT_NE(broken.value()["error"]["message"].get<std::string>().find("parse_error"), std::string::npos);

    std::string long_text = "x";
    for (int i = 0; i < 3000; ++i) long_text += " a";  // a token each: far beyond a context of 2048
    const reply too_long = post(server, chat(long_text));
    EXPECT_EQ(too_long.status, 400);
    EXPECT_NE(too_long.value()["error"]["message"].get<std::string>().find(", the context is 2048 (mivra serve -c)"),
              std::string::npos)
        << too_long.body;

    EXPECT_EQ(post(server, chat("[[script:ok]]")).value()["id"], "chatcmpl-1");
    EXPECT_EQ(post(server, chat("[[script:ok]]", R"({"mode":"fast"})")).value()["id"], "chatcmpl-2");
}
