// The reader thread of a connector: splits the child's output into lines, hands replies to their requesters and
// answers the server's own requests with "not supported".
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string>

#include "connectors/connector.h"

namespace {

// A line longer than this is dropped whole rather than held in memory.
constexpr size_t max_line_bytes = size_t(64) << 20;

// The id of a reply as this side numbers its requests; false when it is no integer or lies outside 32 bits (a
// conversion would make it another request's id).
bool reply_id(const nlohmann::json& id, int32_t& out) {
    if (id.is_number_unsigned()) {
        auto value = id.get<uint64_t>();
        if (value > uint64_t(std::numeric_limits<int32_t>::max())) return false;
        out = static_cast<int32_t>(value);
        return true;
    }
    if (id.is_number_integer()) {
        auto value = id.get<int64_t>();
        if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return false;
        out = static_cast<int32_t>(value);
        return true;
    }
    return false;
}

void handle_line(connector& conn, const std::string& line) {
    nlohmann::json message = nlohmann::json::parse(line);
    if (!message.is_object()) return;
    auto id = message.find("id");
    if (id == message.end()) return;
    if (message.contains("result") || message.contains("error")) {
        int32_t number;
        if (!reply_id(*id, number)) return;
        std::lock_guard<std::mutex> hold(conn.lock);
        if (!conn.waiting.count(number)) return;  // its requester gave up: nobody would ever take it
        conn.pending_replies[number] = std::move(message);
        conn.replies_ready.notify_all();
        return;
    }
    if (message.contains("method")) {
        connector_send(conn, {{"jsonrpc", "2.0"},
                              {"id", *id},
                              {"error", {{"code", -32601}, {"message", "not supported"}}}});
    }
}

}  // namespace

void connector_reader_thread(connector& conn, file_descriptor out) {
    const bool debug = std::getenv("MIVRA_MCP_DEBUG") != nullptr;
    std::string buffer;
    bool dropping = false;  // inside a line that grew past max_line_bytes: skip to its end
    char block[8192];
    while (true) {
        read_result got = read_or_wake(out.get(), conn.reader_wake, block, sizeof block);
        if (got.status != read_status::data) break;
        if (debug) std::fprintf(stderr, "[mcp %s] %.*s\n", conn.name.c_str(), int(got.bytes), block);

        size_t scan = buffer.size();  // the bytes before hold no line end
        buffer.append(block, got.bytes);
        size_t begin = 0;
        for (size_t end; (end = buffer.find('\n', scan)) != std::string::npos; begin = scan = end + 1) {
            if (dropping || end - begin > max_line_bytes) {
                dropping = false;
                continue;
            }
            try {
                handle_line(conn, buffer.substr(begin, end - begin));
            } catch (const std::exception& e) {
                if (debug) std::fprintf(stderr, "[mcp %s] (not a message: %s)\n", conn.name.c_str(), e.what());
            }
        }
        buffer.erase(0, begin);
        if (buffer.size() > max_line_bytes) {
            buffer.clear();
            dropping = true;
        }
    }
    std::lock_guard<std::mutex> hold(conn.lock);
    conn.stopped = true;
    conn.replies_ready.notify_all();
}
