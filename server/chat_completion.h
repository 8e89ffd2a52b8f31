// POST /v1/chat/completions (and, after the mapping of anthropic_request.h, POST /v1/messages): one chat request
// turned into one generation, answered as one JSON object or streamed as server-sent events (openai_stream.h,
// anthropic_stream.h).
//
// Threads: the handler runs on an HTTP worker thread; it reads the request (completion_request.h), then generates
// through engine::generate, which is safe from any thread. A stream's generation runs on a thread of its own and
// reaches the client through a stream_queue that the HTTP worker empties (stream_queue.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "httplib.h"
#include "server/completion_request.h"
#include "server/request_body.h"

class engine;

// What a completion route holds: the engine and the request counter of this run of `serve`.
struct completion_route {
    engine& eng;
    std::atomic<uint64_t>& request_counter;
};

// The completion handler: status, content type and body, or a chunked event stream that runs the generation
// after the handler returns (started from the same worker thread). Any failure before the reply is status 400 with
// the dialect's error body; a request takes its number only once its body has been read without error. The body's
// nesting is checked on its text before it is parsed, once; the text, the parsed body and `hold` (the body's share
// of the read budget, request_body.h) are let go once the request is read, before the generation.
void handle_completion(const completion_route& route, std::string body, httplib::Response& res, api_dialect dialect,
                       body_budget_hold hold = {});
// The same for a body already parsed (its text's nesting checked), as the Anthropic mapping makes it.
void handle_completion(const completion_route& route, nlohmann::ordered_json body, httplib::Response& res,
                       api_dialect dialect, body_budget_hold hold = {});
