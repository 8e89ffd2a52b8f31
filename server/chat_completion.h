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

#include "httplib.h"
#include "server/completion_request.h"

class engine;

// What a completion route holds: the engine and the request counter of this run of `serve`.
struct completion_route {
    engine& eng;
    std::atomic<uint64_t>& request_counter;
};

// The completion handler: status, content type and body, or a chunked event stream that runs the generation
// after the handler returns (on the same worker thread). Any failure before the reply is status 400 with the
// dialect's error body; a request takes its number only once its body has been read without error.
void handle_completion(const completion_route& route, const std::string& body, httplib::Response& res,
                       api_dialect dialect);
