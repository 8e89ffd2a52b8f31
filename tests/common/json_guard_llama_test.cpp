// llama-common's own JSON values carry the nesting guard too: its copies, comparisons and dumps reach the guarded
// definitions of this program, so a deeply nested request value passed to its parsers returns or fails cleanly.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "chat.h"
#include "common/small_stack.h"
#include "json.h"

namespace {

constexpr size_t one_mib = size_t{1} << 20;

std::string nested_array(size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(JsonGuardInLlamaCommon, DeepToolParametersOnAOneMebibyteStack) {
    const std::string deep = nested_array(100000);
    const std::string tools_text =
        R"([{"type":"function","function":{"name":"f","description":"d","parameters":)" + deep + "}}]";
    run_with_stack(one_mib, [&] {
        const common_json tools = common_json::parse(tools_text);
        const common_json copy = tools;
        EXPECT_EQ(copy.dump(), tools_text);
        // Without the guard this overflows the stack inside llama-common and kills the process.
        const std::vector<common_chat_tool> parsed = common_chat_tools_parse_oaicompat(copy);
        ASSERT_EQ(parsed.size(), 1u);
        EXPECT_EQ(parsed[0].name, "f");
        EXPECT_EQ(parsed[0].parameters, deep);
    });
}

TEST(JsonGuardInLlamaCommon, DeepMessageContentOnAOneMebibyteStack) {
    const std::string messages_text = R"([{"role":"user","content":)" + nested_array(100000) + "}]";
    run_with_stack(one_mib, [&] {
        const common_json messages = common_json::parse(messages_text);
        try {
            common_chat_msgs_parse_oaicompat(messages); // a message whose content is neither text nor parts
        } catch (const std::exception&) {
            // refusing it is a clean outcome
        }
        EXPECT_EQ(messages.dump(), messages_text);
    });
}

} // namespace
