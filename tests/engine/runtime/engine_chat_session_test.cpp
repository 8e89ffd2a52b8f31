// The chat layer over llama-common, with the real Qwen3 and gpt-oss templates and the real qwen2 vocabulary.
#include <gtest/gtest.h>

#include "engine/runtime/chat_session.h"
#include "engine/runtime/engine_test_vocab.h"
#include "nlohmann/json.hpp"

namespace {

const test_vocab& vocab() {
    static test_vocab v;
    return v;
}

token_text piece(const std::string& text, int32_t token) {
    token_text in;
    in.append(text, token);
    return in;
}

common_chat_templates_inputs user_says(const std::string& text) {
    common_chat_templates_inputs inputs;
    common_chat_msg msg;
    msg.role = "user";
    msg.content = text;
    inputs.messages.push_back(msg);
    return inputs;
}

}  // namespace

// Pieces "ab", "" (a token with no text), "c" + the first byte of "é", the second byte + "d".
TEST(ChatInput, RangesHandOutEveryTokenOnce) {
    token_text in;
    in.append("ab", 1);
    in.append("", 2);
    in.append("c\xC3", 3);
    in.append("\xA9" "d", 4);
    ASSERT_EQ(in.str(), "abc\xC3\xA9" "d");

    for (size_t cut = 0; cut <= in.size(); ++cut) {
        token_text head = in.sub(0, cut), tail = in.sub(cut);
        EXPECT_EQ(head.str() + tail.str(), in.str()) << cut;
        std::vector<int32_t> all = head.tokens();
        all.insert(all.end(), tail.tokens().begin(), tail.tokens().end());
        EXPECT_EQ(all, (std::vector<int32_t>{1, 2, 3, 4})) << cut;
    }
    // A range starting inside token 3's piece holds only the tokens that start after it.
    EXPECT_EQ(in.sub(3, 1).str(), "\xC3");
    EXPECT_TRUE(in.sub(3, 1).tokens().empty());
    EXPECT_EQ(in.sub(3, 10).tokens(), (std::vector<int32_t>{4}));

    token_text cut = in;
    cut.truncate(3);
    EXPECT_EQ(cut.str(), "abc");
    EXPECT_EQ(cut.tokens(), (std::vector<int32_t>{1, 2, 3}));
    cut.truncate(2);
    EXPECT_EQ(cut.tokens(), (std::vector<int32_t>{1}));  // token 2's empty piece starts at 2: gone with "c"

    // Appending an input shifts its offsets: the tail of the joined text holds the appended tokens.
    token_text joined = piece("xy", 7);
    joined.append(in);
    EXPECT_EQ(joined.str(), "xyabc\xC3\xA9" "d");
    EXPECT_EQ(joined.sub(2).tokens(), (std::vector<int32_t>{1, 2, 3, 4}));
    EXPECT_EQ(joined.sub(0, 2).tokens(), (std::vector<int32_t>{7}));
}

TEST(ChatSession, Qwen3StreamsToolCallThatFinishMatches) {
    auto templates = vocab().templates("Qwen-Qwen3-0.6B.jinja");
    common_chat_templates_inputs inputs = user_says("Weather in Paris?");
    inputs.tools.push_back({"get_weather", "Get the weather",
                            R"({"type":"object","properties":{"city":{"type":"string"}},"required":["city"]})"});
    chat_session session(templates.get(), vocab().vocab, inputs, {});

    const std::string& prompt = session.prompt().str();
    EXPECT_NE(prompt.find("<|im_start|>user\nWeather in Paris?<|im_end|>\n"), std::string::npos);
    EXPECT_TRUE(prompt.ends_with("<|im_start|>assistant\n")) << prompt;
    EXPECT_NE(prompt.find("get_weather"), std::string::npos);  // the tool is described to the model
    EXPECT_TRUE(session.message().tool_calls.empty());
    EXPECT_TRUE(session.message().content.empty());

    const std::string output =
        "Let me check.\n<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\": \"Paris\"}}\n</tool_call>";
    // Feed in uneven pieces and rebuild the message from the diffs, as a streaming client would.
    common_chat_msg last = session.message();
    std::string content, arguments, name;
    for (size_t pos = 0, step = 1; pos < output.size(); pos += step, step = step % 5 + 1) {
        common_chat_msg now = session.feed(piece(output.substr(pos, step), int32_t(pos)));
        for (const auto& d : common_chat_msg_diff::compute_diffs(last, now)) {
            content += d.content_delta;
            arguments += d.tool_call_delta.arguments;
            name += d.tool_call_delta.name;
        }
        last = now;
    }
    const common_chat_msg& final = session.finish(token_text());
    EXPECT_EQ(session.output().str(), output);
    ASSERT_EQ(final.tool_calls.size(), 1u);
    EXPECT_EQ(final.tool_calls[0].name, "get_weather");
    EXPECT_EQ(nlohmann::ordered_json::parse(final.tool_calls[0].arguments), nlohmann::ordered_json({{"city", "Paris"}}));
    EXPECT_EQ(name, "get_weather");
    EXPECT_EQ(arguments, final.tool_calls[0].arguments);
    EXPECT_EQ(content, final.content);
    EXPECT_EQ(final.content.rfind("Let me check.", 0), 0u);
}

TEST(ChatSession, MalformedToolCallFailsOnlyAtFinish) {
    auto templates = vocab().templates("Qwen-Qwen3-0.6B.jinja");
    common_chat_templates_inputs inputs = user_says("Weather?");
    inputs.tools.push_back({"get_weather", "", R"({"type":"object","properties":{}})"});
    chat_session session(templates.get(), vocab().vocab, inputs, {});

    EXPECT_NO_THROW(session.feed(piece("<tool_call>\nnot json", 1)));
    EXPECT_THROW(session.finish(piece("</tool_call>", 2)), std::runtime_error);
}

TEST(ChatSession, GptOssSeparatesReasoningWhenAsked) {
    auto templates = vocab().templates("openai-gpt-oss-120b.jinja");
    const std::string output = "<|channel|>analysis<|message|>think<|end|><|start|>assistant<|channel|>final<|message|>Hi";

    common_chat_templates_inputs inputs = user_says("Hello");
    chat_session plain(templates.get(), vocab().vocab, inputs, {});
    EXPECT_TRUE(plain.prompt().str().ends_with("<|start|>user<|message|>Hello<|end|><|start|>assistant"));
    EXPECT_EQ(plain.finish(token_text(output)).reasoning_content, "");

    inputs.reasoning_format = COMMON_REASONING_FORMAT_AUTO;
    chat_session split(templates.get(), vocab().vocab, inputs, {});
    for (size_t pos = 0; pos < output.size(); pos += 7) split.feed(piece(output.substr(pos, 7), 0));
    EXPECT_EQ(split.message().reasoning_content, "think");
    EXPECT_EQ(split.message().content, "Hi");
    const common_chat_msg& final = split.finish(token_text());
    EXPECT_EQ(final.reasoning_content, "think");
    EXPECT_EQ(final.content, "Hi");
}

TEST(ChatSession, TemplateErrorReachesTheCaller) {
    auto templates = common_chat_templates_init(
        vocab().model, "{% if messages[0]['role'] == 'user' %}{{ raise_exception('no users here') }}{% endif %}");
    try {
        chat_session session(templates.get(), vocab().vocab, user_says("hi"), {});
        FAIL() << "rendered: " << session.prompt().str();
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("no users here"), std::string::npos) << e.what();
    }
}
