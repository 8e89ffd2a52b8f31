// `mivra selftest`: built-in checks that need no pack, engine or network: the UTF-8 hold-back of streamed text and
// the translation of an Anthropic request into the chat-completions form.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "engine/runtime/generation.h"
#include "server/anthropic_request.h"

namespace {

// An Anthropic request with a billing header, a tool call and its result, a tool and a stop sequence.
const char* const selftest_request = R"({"system":"x-anthropic-billing-header: v=1; cch=ab12c; rest",
 "messages":[{"role":"user","content":"hi"},{"role":"assistant","content":[{"type":"text","text":"ok"},
 {"type":"tool_use","id":"t1","name":"f","input":{"a":1}}]},{"role":"user","content":[{"type":"tool_result",
 "tool_use_id":"t1","content":[{"type":"text","text":"42"}]}]}],"tools":[{"name":"f","description":"d",
 "input_schema":{"type":"object"}}],"stop_sequences":["X"]})";

}  // namespace

int cmd_selftest() {
    int failures = 0;
    const auto check = [&failures](bool passed, const char* name) {
        if (passed) return;
        std::fprintf(stderr, "FAIL: %s\n", name);
        ++failures;
    };

    check(utf8_complete_prefix("abc") == 3, "ascii is complete");
    check(utf8_complete_prefix("a\xE2\x82") == 1, "cut 3-byte sequence is held back");
    check(utf8_complete_prefix("a\xE2\x82\xAC") == 4, "full 3-byte sequence passes");
    check(utf8_complete_prefix("\xF0\x9F\x98") == 0, "cut 4-byte sequence is held back");

    // Missing members read as null through the plain subscripts, so a wrong translation fails its check instead of
    // stopping the command.
    nlohmann::json out = nlohmann::json::parse(anthropic_to_openai_request(selftest_request));
    check(out["messages"][0]["content"] == "x-anthropic-billing-header: v=1; cch=fffff; rest", "billing hash blanked");
    check(out["messages"][2]["tool_calls"][0]["function"]["arguments"] == "{\"a\":1}" &&
              out["messages"][3]["role"] == "tool" && out["messages"][3]["content"] == "42",
          "tool_use and tool_result mapped");
    check(out["tools"][0]["function"]["name"] == "f" && out["stop"][0] == "X", "tools and stop sequences mapped");

    if (failures > 0)
        std::fprintf(stderr, "selftest: %d failures\n", failures);
    else
        std::fprintf(stderr, "selftest: ok\n");
    return failures > 0 ? 1 : 0;
}
