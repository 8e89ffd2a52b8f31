// A limit on how deeply a request body may nest. The chat library turns messages into the template engine's values,
// tool schemas into grammars and template arguments into template values by recursion, with no guard of its own, so
// a request nested thousands of levels deep would exhaust the HTTP worker's stack and end the server. Real
// conversations and schemas stay far below the limit.
#pragma once

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

// Deepest nesting accepted in a request body, and in the JSON text of a tool call's arguments.
inline constexpr size_t request_nesting_limit = 128;

// Throws std::runtime_error "messages or tools nested deeper than 128 levels" when the JSON text nests deeper than
// the limit anywhere, whatever the member (the body's own object is level 1). A byte scan that counts brackets
// outside strings, cheap enough to run before anything parses the body; the text need not be valid JSON (the parser
// reports that). Safe from any thread.
void check_body_nesting(std::string_view text);

// Throws the same error when the JSON text of a tool call's "arguments" in a message (JSON inside a string, which
// the body scan skips and the chat library parses for the template) nests deeper than the limit, or when "messages"
// or "tools" do. Walks without recursion; safe from any thread.
void check_request_nesting(const nlohmann::json& body);
void check_request_nesting(const nlohmann::ordered_json& body);
