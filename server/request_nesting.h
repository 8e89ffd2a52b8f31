// A limit on how deeply the messages and tools of a chat request may nest. The chat library turns them into the
// template engine's values and tool schemas into grammars by recursion, with no guard of its own, so a request
// nested thousands of levels deep would exhaust the HTTP worker's stack and end the server. Real conversations and
// schemas stay far below the limit.
#pragma once

#include <cstddef>

#include <nlohmann/json.hpp>

// Deepest nesting accepted in "messages" and in "tools", tool-call arguments (JSON inside a string) included.
inline constexpr size_t request_nesting_limit = 128;

// Throws std::runtime_error "messages or tools nested deeper than 128 levels" when the body's "messages" or "tools",
// or the JSON text of a tool call's "arguments" in a message, nests deeper than the limit. Walks without recursion;
// safe from any thread.
void check_request_nesting(const nlohmann::json& body);
