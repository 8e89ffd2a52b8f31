// The Anthropic dialect in process: the translation of request bodies into the chat-completions form, the nesting
// limit of chat requests, the reply blocks and stop reasons, and the block writer of the event stream driven with
// hand-made messages through a capturing sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/anthropic_reply.h"
#include "server/anthropic_request.h"
#include "server/anthropic_stream.h"
#include "server/reply_helpers.h"
#include "server/request_nesting.h"

using json = nlohmann::json;

namespace {

struct translation_case {
    const char* what;
    const char* body;
    const char* expected;  // the translated body, byte for byte
};

const translation_case translation_cases[] = {
    {"system blocks of type text are joined; other blocks are skipped",
     R"({"system":[{"type":"text","text":"A"},{"type":"image"},{"type":"text","text":"B"}],
         "messages":[{"role":"user","content":"x"}]})",
     R"({"messages":[{"role":"system","content":"AB"},{"role":"user","content":"x"}]})"},
    {"a null system is an empty system message",
     R"({"system":null,"messages":[{"role":"user","content":"x"}]})",
     R"({"messages":[{"role":"system","content":""},{"role":"user","content":"x"}]})"},
    {"no system, no system message", R"({"messages":[{"role":"user","content":"x"}]})",
     R"({"messages":[{"role":"user","content":"x"}]})"},
    {"the billing hash of the system text is blanked, in a string and in a block",
     R"({"system":[{"type":"text","text":"x-anthropic-billing-header: v=1; cch=ab12c; rest"}],
         "messages":[{"role":"user","content":"x-anthropic-billing-header: v=1; cch=ab12c; rest"}]})",
     R"({"messages":[{"role":"system","content":"x-anthropic-billing-header: v=1; cch=fffff; rest"},)"
     R"({"role":"user","content":"x-anthropic-billing-header: v=1; cch=ab12c; rest"}]})"},
    {"a user turn of tool results only gives tool messages only",
     R"({"messages":[{"role":"user","content":[{"type":"tool_result","tool_use_id":"t1",
         "content":[{"type":"text","text":"4"},{"type":"image"},{"type":"text","text":"2"}]}]}]})",
     R"({"messages":[{"role":"tool","tool_call_id":"t1","content":"42"}]})"},
    {"text before the tool result: the user message, then the tool message",
     R"({"messages":[{"role":"user","content":[{"type":"text","text":"see"},
         {"type":"tool_result","tool_use_id":"t1","content":"42"}]}]})",
     R"({"messages":[{"role":"user","content":"see"},{"role":"tool","tool_call_id":"t1","content":"42"}]})"},
    {"tool results before the text stay first, right after the assistant's calls",
     R"({"messages":[{"role":"assistant","content":[{"type":"tool_use","id":"t1","name":"f","input":{}},
         {"type":"tool_use","id":"t2","name":"g","input":{}}]},
         {"role":"user","content":[{"type":"tool_result","tool_use_id":"t1","content":"1"},
         {"type":"tool_result","tool_use_id":"t2","content":"2"},{"type":"text","text":"go on"}]}]})",
     R"({"messages":[{"role":"assistant","content":"","tool_calls":[)"
     R"({"id":"t1","type":"function","function":{"name":"f","arguments":"{}"}},)"
     R"({"id":"t2","type":"function","function":{"name":"g","arguments":"{}"}}]},)"
     R"({"role":"tool","tool_call_id":"t1","content":"1"},{"role":"tool","tool_call_id":"t2","content":"2"},)"
     R"({"role":"user","content":"go on"}]})"},
    {"text and a tool call; arguments are the input's compact text in its own key order, {} without input",
     R"({"messages":[{"role":"assistant","content":[{"type":"text","text":"ok"},
         {"type":"tool_use","id":"t1","name":"f","input":{"b":[1, 2],"a":"\u00e9"}},
         {"type":"tool_use","id":"t2","name":"g"}]}]})",
     "{\"messages\":[{\"role\":\"assistant\",\"content\":\"ok\",\"tool_calls\":["
     "{\"id\":\"t1\",\"type\":\"function\",\"function\":{\"name\":\"f\",\"arguments\":"
     "\"{\\\"b\\\":[1,2],\\\"a\\\":\\\"\xC3\xA9\\\"}\"}},"
     "{\"id\":\"t2\",\"type\":\"function\",\"function\":{\"name\":\"g\",\"arguments\":\"{}\"}}]}]}"},
    {"thinking only gives empty content with reasoning; an empty block list gives nothing",
     R"({"messages":[{"role":"assistant","content":[{"type":"thinking","thinking":"hm","signature":"s"}]},
         {"role":"user","content":[]},{"role":"user","content":[{"type":"image"}]}]})",
     R"({"messages":[{"role":"assistant","content":"","reasoning_content":"hm"}]})"},
    {"a tool result whose content is a number, or absent, is empty text",
     R"({"messages":[{"role":"user","content":[{"type":"tool_result","tool_use_id":"t1","content":7},
         {"type":"tool_result"}]}]})",
     R"({"messages":[{"role":"tool","tool_call_id":"t1","content":""},)"
     R"({"role":"tool","tool_call_id":"","content":""}]})"},
    {"tools: server tools dropped, custom tools and bare names kept",
     R"({"messages":[],"tools":[{"type":"web_search_20250305","name":"web_search"},
         {"type":"custom","name":"c"},{"name":"n"},{"type":7,"name":"t"},
         {"type":"x","name":"f","description":"d","input_schema":{"type":"object"}}]})",
     R"({"messages":[],"tools":[{"type":"function","function":{"name":"c","description":"","parameters":{}}},)"
     R"({"type":"function","function":{"name":"n","description":"","parameters":{}}},)"
     R"({"type":"function","function":{"name":"f","description":"d","parameters":{"type":"object"}}}]})"},
    {"no tool left, no tools", R"({"messages":[],"tools":[{"type":"bash_20250124","name":"bash"}]})",
     R"({"messages":[]})"},
    {"tool_choice tool is required", R"({"messages":[],"tool_choice":{"type":"tool","name":"f"}})",
     R"({"messages":[],"tool_choice":"required"})"},
    {"tool_choice any is required", R"({"messages":[],"tool_choice":{"type":"any"}})",
     R"({"messages":[],"tool_choice":"required"})"},
    {"tool_choice none", R"({"messages":[],"tool_choice":{"type":"none"}})",
     R"({"messages":[],"tool_choice":"none"})"},
    {"tool_choice {} is auto", R"({"messages":[],"tool_choice":{}})", R"({"messages":[],"tool_choice":"auto"})"},
    {"a bare string tool_choice adds nothing", R"({"messages":[],"tool_choice":"any"})", R"({"messages":[]})"},
    {"copied keys in their own order, stop_sequences as stop, everything else dropped",
     R"({"stop_sequences":["X"],"metadata":{"user_id":"u"},"mode":"fast","stream":true,"top_k":5,
         "thinking":{"type":"enabled"},"model":"m","messages":[],"max_tokens":9,"temperature":0.5,"top_p":1,
         "seed":3})",
     R"({"messages":[],"model":"m","max_tokens":9,"temperature":0.5,"top_p":1,"top_k":5,"stream":true,)"
     R"("mode":"fast","stop":["X"]})"},
};

TEST(AnthropicTranslation, Examples) {
    for (const translation_case& c : translation_cases)
        EXPECT_EQ(anthropic_to_openai_request(c.body), c.expected) << c.what;
}

TEST(AnthropicTranslation, MalformedBodiesFailWithTheJsonLibrarysText) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "parse_error"},
        {R"({"model":"m"})", "key 'messages' not found"},
        {R"({"messages":[{"content":"x"}]})", "key 'role' not found"},
        {R"({"messages":[{"role":"user"}]})", "key 'content' not found"},
        {R"({"messages":[{"role":1,"content":"x"}]})", "type must be string, but is number"},
        {R"({"messages":[{"role":"user","content":[3]}]})", "cannot use value() with number"},
        {R"({"messages":[{"role":"user","content":[{"type":"text","text":5}]}]})",
         "type must be string, but is number"},
        {R"({"messages":[{"role":"user","content":[{"type":"tool_result","content":["x"]}]}]})",
         "cannot use value() with string"},
        {R"({"system":[1],"messages":[]})", "cannot use value() with number"},
        {R"({"messages":[],"tools":["f"]})", "cannot use value() with string"},
        {R"({"messages":[],"tools":[{"name":"f","description":2}]})", "type must be string, but is number"},
    };
    for (const auto& [body, text] : cases) {
        try {
            anthropic_to_openai_request(body);
            ADD_FAILURE() << body << " was translated";
        } catch (const nlohmann::json::exception& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << body << ": " << e.what();
        }
    }
}

TEST(AnthropicTranslation, BillingHashIsBlankedOnlyInItsExactShape) {
    const std::pair<std::string, std::string> cases[] = {
        {"x-anthropic-billing-header: v=1; cch=ab12c; rest", "x-anthropic-billing-header: v=1; cch=fffff; rest"},
        {"x-anthropic-billing-header:cch=12345;", "x-anthropic-billing-header:cch=fffff;"},
        {" x-anthropic-billing-header: v=1; cch=ab12c; rest", ""},   // leading blank
        {"x-anthropic-billing-header: v=1; cch=ab12; rest", ""},     // four characters
        {"x-anthropic-billing-header: v=1; cch=ab12cd; rest", ""},   // six characters
        {"x-anthropic-billing-header: v=1; cch=ab12c", ""},          // no ';' after the hash
        {"x-anthropic-billing-header: cch=1; cch=ab12c; rest", ""},  // only the first "cch=" counts
        {"x-anthropic-billing-header", ""},
        {"x-anthropic-billing-header: v=1; cch=\xC3\xA9\xE2\x82\xAC; rest",  // five bytes of two characters
         "x-anthropic-billing-header: v=1; cch=fffff; rest"},
    };
    for (const auto& [text, blanked] : cases) {
        std::string t = text;
        blank_billing_hash(t);
        EXPECT_EQ(t, blanked.empty() ? text : blanked) << text;
    }
}

TEST(AnthropicTranslation, ContentText) {
    EXPECT_EQ(content_text("plain"), "plain");
    const auto blocks = nlohmann::ordered_json::parse(
        R"([{"type":"text","text":"a"},{"type":"image"},{"text":"x"},{"type":"text"},{"type":"text","text":"b"}])");
    EXPECT_EQ(content_text(blocks), "ab");
    for (const char* other : {"null", "1", "true", R"({"type":"text","text":"a"})"})
        EXPECT_EQ(content_text(nlohmann::ordered_json::parse(other)), "") << other;
}

// Nests `inner` (a JSON text) inside `levels` objects.
std::string nested(size_t levels, const std::string& inner = "1") {
    std::string text;
    for (size_t i = 0; i < levels; ++i) text += "{\"a\":";
    text += inner;
    return text + std::string(levels, '}');
}

std::string nesting_error(const std::string& body) {
    try {
        check_request_nesting(json::parse(body));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(RequestNesting, DeepMessagesToolsAndArgumentsAreRefused) {
    const std::string refused = "messages or tools nested deeper than 128 levels";
    // "messages" counts its own array: a message object holding 126 more levels is 128 deep.
    EXPECT_EQ(nesting_error(R"({"messages":[)" + nested(127) + "]}"), "");
    EXPECT_EQ(nesting_error(R"({"messages":[)" + nested(128) + "]}"), refused);
    EXPECT_EQ(nesting_error(R"({"tools":[{"function":{"parameters":)" + nested(200000) + "}}]}"), refused);
    // Arguments are JSON text inside a string; the chat library parses them for the template.
    const auto call = [](const std::string& arguments) {
        return R"({"messages":[{"role":"assistant","tool_calls":[{"function":{"arguments":)" +
               json(arguments).dump() + "}}]}]}";
    };
    EXPECT_EQ(nesting_error(call(nested(128))), "");
    EXPECT_EQ(nesting_error(call(nested(129))), refused);
    EXPECT_EQ(nesting_error(call("{not json")), "");
    // Other members may nest as they like; they reach no template.
    EXPECT_EQ(nesting_error(R"({"messages":[],"metadata":)" + nested(100000) + "}"), "");
}

common_chat_tool_call tool_call(const std::string& name, const std::string& arguments, const std::string& id) {
    common_chat_tool_call call;
    call.name = name;
    call.arguments = arguments;
    call.id = id;
    return call;
}

TEST(AnthropicReply, ContentBlocksAndStopReasons) {
    common_chat_msg msg;
    EXPECT_EQ(anthropic_content_blocks(msg), json::array());
    msg.reasoning_content = "hm";
    msg.content = "ok";
    msg.tool_calls = {tool_call("f", "{\"a\":", "toolu_1_0"), tool_call("g", "[1,2]", "toolu_1_1"),
                      tool_call("h", "", "toolu_1_2")};
    EXPECT_EQ(anthropic_content_blocks(msg).dump(),
              R"([{"signature":"","thinking":"hm","type":"thinking"},{"text":"ok","type":"text"},)"
              R"({"id":"toolu_1_0","input":{},"name":"f","type":"tool_use"},)"
              R"({"id":"toolu_1_1","input":[1,2],"name":"g","type":"tool_use"},)"
              R"({"id":"toolu_1_2","input":{},"name":"h","type":"tool_use"}])");

    generation_stats length, stop;
    stop.finish_reason = "stop";
    EXPECT_EQ(anthropic_stop_reason(msg, length), "tool_use");  // a tool call wins over max_tokens
    msg.tool_calls.clear();
    EXPECT_EQ(anthropic_stop_reason(msg, length), "max_tokens");
    EXPECT_EQ(anthropic_stop_reason(msg, stop), "end_turn");
    EXPECT_EQ(api_json_text(anthropic_error_body("bad \xC3"), true),
              "{\"error\":{\"message\":\"bad \xEF\xBF\xBD\",\"type\":\"invalid_request_error\"},\"type\":\"error\"}");
}

// A sink that keeps what is written as short event summaries ("start 0 text", "delta 0 Hi", "stop 0"), and can be
// told to fail its writes.
struct capture_sink {
    httplib::DataSink sink;
    std::vector<std::string> events;
    bool fail = false;

    capture_sink() {
        sink.write = [this](const char* data, size_t size) {
            if (fail) return false;
            const std::string text(data, size);
            EXPECT_TRUE(text.starts_with("event: ") && text.ends_with("\n\n")) << text;
            const size_t data_at = text.find("\ndata: ");
            const std::string name = text.substr(7, data_at - 7);
            const json d = json::parse(text.substr(data_at + 7));
            EXPECT_EQ(d.at("type"), name);
            if (name == "content_block_start") {
                const json& b = d.at("content_block");
                const std::string type = b.at("type");
                std::string s = "start " + d.at("index").dump() + " " + type;
                if (type == "tool_use") {
                    EXPECT_EQ(b.at("input"), json::object());
                    s += " " + b.at("name").get<std::string>() + " " + b.at("id").get<std::string>();
                }
                events.push_back(s);
            } else if (name == "content_block_delta") {
                const json& delta = d.at("delta");
                const char* key = delta.at("type") == "text_delta"       ? "text"
                                  : delta.at("type") == "thinking_delta" ? "thinking"
                                                                         : "partial_json";
                events.push_back("delta " + d.at("index").dump() + " " + delta.at(key).get<std::string>());
            } else if (name == "content_block_stop") {
                events.push_back("stop " + d.at("index").dump());
            } else {
                events.push_back(name);
            }
            return true;
        };
    }
};

common_chat_msg message(const std::string& reasoning, const std::string& content,
                        std::vector<common_chat_tool_call> calls = {}) {
    common_chat_msg msg;
    msg.reasoning_content = reasoning;
    msg.content = content;
    msg.tool_calls = std::move(calls);
    return msg;
}

using event_list = std::vector<std::string>;

TEST(AnthropicBlockWriter, ReasoningTextAndToolCallInOrder) {
    capture_sink out;
    anthropic_block_writer writer(out.sink);
    EXPECT_TRUE(writer.advance(message("Pon", ""), false));
    EXPECT_TRUE(writer.advance(message("Ponder", ""), false));
    EXPECT_TRUE(writer.advance(message("Pond", "Hi"), false));  // a revision to less sends nothing of its own
    // A call whose arguments have not begun waits while it is the last one.
    EXPECT_TRUE(writer.advance(message("Ponder", "Hi", {tool_call("f", "", "toolu_1_0")}), false));
    EXPECT_TRUE(writer.advance(message("Ponder", "Hi", {tool_call("f", "{\"a\"", "toolu_1_0")}), false));
    EXPECT_TRUE(writer.advance(message("Ponder", "Hi", {tool_call("f", "{\"a\":1}", "toolu_1_0")}), true));
    EXPECT_EQ(out.events, (event_list{"start 0 thinking", "delta 0 Pon", "delta 0 der", "stop 0", "start 1 text",
                                      "delta 1 Hi", "stop 1", "start 2 tool_use f toolu_1_0", "delta 2 {\"a\"",
                                      "delta 2 :1}", "stop 2"}));
}

TEST(AnthropicBlockWriter, ToolCallsGetOneBlockEach) {
    capture_sink out;
    anthropic_block_writer writer(out.sink);
    // The first call opens once a second exists, even with empty arguments; a call without a name stops the walk.
    EXPECT_TRUE(writer.advance(message("", "", {tool_call("f", "", "a"), tool_call("", "", "b"),
                                                tool_call("h", "{}", "c")}),
                               false));
    EXPECT_TRUE(writer.advance(message("", "", {tool_call("f", "", "a"), tool_call("g", "{\"x\":", "b")}), false));
    EXPECT_TRUE(writer.advance(message("", "", {tool_call("f", "", "a"), tool_call("g", "{\"x\":2}", "b")}), true));
    EXPECT_EQ(out.events, (event_list{"start 0 tool_use f a", "stop 0", "start 1 tool_use g b", "delta 1 {\"x\":",
                                      "delta 1 2}", "stop 1"}));

    // A final message opens a last call with empty arguments, but never a nameless one.
    capture_sink last;
    anthropic_block_writer w2(last.sink);
    EXPECT_TRUE(w2.advance(message("", "", {tool_call("f", "", "a")}), false));
    EXPECT_TRUE(last.events.empty());
    EXPECT_TRUE(w2.advance(message("", "", {tool_call("f", "", "a"), tool_call("", "{}", "b")}), true));
    EXPECT_EQ(last.events, (event_list{"start 0 tool_use f a", "stop 0"}));
}

TEST(AnthropicBlockWriter, KindsThatComeBackOpenNewBlocks) {
    capture_sink out;
    anthropic_block_writer writer(out.sink);
    EXPECT_TRUE(writer.advance(message("a", "b"), false));
    EXPECT_TRUE(writer.advance(message("ac", "b"), false));
    EXPECT_TRUE(writer.advance(message("ac", "bd"), true));
    EXPECT_EQ(out.events, (event_list{"start 0 thinking", "delta 0 a", "stop 0", "start 1 text", "delta 1 b",
                                      "stop 1", "start 2 thinking", "delta 2 c", "stop 2", "start 3 text",
                                      "delta 3 d", "stop 3"}));
}

// Output that grows an open tool call's arguments and text at once: the arguments go into the tool block before
// the text block opens, never under the text block's index.
TEST(AnthropicBlockWriter, ArgumentsAreFlushedIntoTheirBlockBeforeTextOpens) {
    capture_sink out;
    anthropic_block_writer writer(out.sink);
    EXPECT_TRUE(writer.advance(message("", "", {tool_call("f", "{\"a\"", "t")}), false));
    EXPECT_TRUE(writer.advance(message("", "Done", {tool_call("f", "{\"a\":1}", "t")}), false));
    // Growth after the tool block closed has no block to go to.
    EXPECT_TRUE(writer.advance(message("", "Done.", {tool_call("f", "{\"a\":12}", "t")}), true));
    EXPECT_EQ(out.events, (event_list{"start 0 tool_use f t", "delta 0 {\"a\"", "delta 0 :1}", "stop 0",
                                      "start 1 text", "delta 1 Done", "delta 1 .", "stop 1"}));
}

TEST(AnthropicBlockWriter, FailedWritesStopTheAdvance) {
    capture_sink out;
    anthropic_block_writer writer(out.sink);
    EXPECT_TRUE(writer.advance(message("", "Hi"), false));
    out.fail = true;
    EXPECT_FALSE(writer.advance(message("", "Hi there"), false));
    EXPECT_FALSE(writer.advance(message("r", "Hi there"), false));
    EXPECT_EQ(writer.open_type, "");  // the failed close still counts as closed
    out.fail = false;
    EXPECT_TRUE(writer.close_block());  // nothing open: nothing sent
    EXPECT_EQ(out.events, (event_list{"start 0 text", "delta 0 Hi"}));

    // Nothing at all to send: no block.
    capture_sink empty;
    anthropic_block_writer w2(empty.sink);
    EXPECT_TRUE(w2.advance(common_chat_msg(), true));
    EXPECT_TRUE(empty.events.empty());
}

}  // namespace
