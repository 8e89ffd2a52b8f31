#include "server/chat_completion.h"

#include <chrono>
#include <memory>

#include "engine/runtime/engine.h"
#include "server/anthropic_reply.h"
#include "server/anthropic_stream.h"
#include "server/openai_reply.h"
#include "server/openai_stream.h"
#include "server/reply_helpers.h"
#include "server/request_nesting.h"
#include "server/stream_queue.h"

using json = nlohmann::json;

namespace {

int64_t seconds_since_epoch() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void handle_completion(const completion_route& route, std::string body, httplib::Response& res, api_dialect dialect,
                       body_budget_hold hold) {
    nlohmann::ordered_json parsed;
    try {
        check_body_nesting(body);
        parsed = parse_request_body(body, completion_body_keys);
    } catch (const std::exception& e) {
        res.status = 400;
        const json error =
            dialect == api_dialect::anthropic ? anthropic_error_body(e.what()) : openai_error_body(e.what());
        res.set_content(api_json_text(error, true), "application/json");
        return;
    }
    body = std::string();
    handle_completion(route, std::move(parsed), res, dialect, std::move(hold));
}

void handle_completion(const completion_route& route, nlohmann::ordered_json body, httplib::Response& res,
                       api_dialect dialect, body_budget_hold hold) {
    try {
        completion_request req = read_completion_request(route.eng, body, dialect);
        // The body's tree and its share of the budget go before the generation.
        body = nullptr;
        hold.release();
        const uint64_t number = route.request_counter.fetch_add(1);
        const bool anthropic = dialect == api_dialect::anthropic;
        const std::string id = (anthropic ? "msg_" : "chatcmpl-") + std::to_string(number);
        const int64_t created = seconds_since_epoch();
        const tool_id_state ids{req.session, std::make_shared<std::vector<std::string>>(), std::to_string(number),
                                anthropic};

        if (req.stream) {
            auto state = std::make_shared<completion_stream>(
                completion_stream{&route.eng, std::move(req), ids, id, created});
            // The generation runs on a thread of the stream's own and writes into a queue that this HTTP worker
            // empties to the client, so a client that does not read never holds up the engine.
            res.set_chunked_content_provider("text/event-stream", [state, anthropic](size_t, httplib::DataSink& sink) {
                return run_queued_stream(sink, [&state, anthropic](httplib::DataSink& queued) {
                    return anthropic ? stream_anthropic(*state, queued) : stream_openai(*state, queued);
                });
            });
            return;
        }

        token_text output;
        const on_text_fn collect_piece = [&output](const token_text& piece) {
            output.append(piece.with_valid_utf8());
            return true;
        };
        const generation_stats stats =
            route.eng.generate(req.prompt, req.n_predict, req.sampling, req.stop, collect_piece, &req.lossy);
        const common_chat_msg msg = parse_chat_output(ids, output, true);
        const json reply =
            anthropic ? anthropic_reply(id, req.model, msg, stats) : openai_reply(id, created, req.model, msg, stats);
        res.set_content(api_json_text(reply), "application/json");
        log_request_stats(id, stats);
    } catch (const std::exception& e) {
        res.status = 400;
        const json error =
            dialect == api_dialect::anthropic ? anthropic_error_body(e.what()) : openai_error_body(e.what());
        res.set_content(api_json_text(error, true), "application/json");
    }
}
