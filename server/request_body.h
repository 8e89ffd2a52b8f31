// Request bodies of the API routes: read by the route itself within a byte budget that all HTTP workers share, and
// parsed once. A parsed body takes many times its size in memory (a JSON number of two bytes becomes a value of
// sixteen), so a burst of large bodies parsed at once could exhaust memory; the budget bounds the bytes of the bodies
// that are being read and parsed at any moment, and a request that does not fit waits for the others.
//
// Threads and locking: the budget's mutex guards its count; everything else works on the caller's own values. Safe
// from any worker thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "httplib.h"

// The largest body a route accepts (the HTTP library's own limit), and its refusal (status 413).
inline constexpr size_t request_body_limit = CPPHTTPLIB_PAYLOAD_MAX_LENGTH;
// Bytes of bodies that may be read and parsed at once; a larger single body runs alone.
inline constexpr size_t request_body_budget = 64u << 20;
// How long a body waits for room in the budget before the request is refused with status 503.
inline constexpr std::chrono::seconds request_body_wait{30};

// The text of the 413 refusal.
std::string body_too_large_text();

// A count of bytes shared by the workers, with waiting for room.
class body_budget {
public:
    explicit body_budget(size_t capacity) : capacity_(capacity) {}
    body_budget(const body_budget&) = delete;
    body_budget& operator=(const body_budget&) = delete;

    // Takes min(bytes, capacity) once they fit, waiting at most `wait`; returns the bytes taken, or 0 when they did
    // not fit in time (nothing is taken then). A body of 0 bytes takes 1.
    size_t acquire(size_t bytes, std::chrono::milliseconds wait);
    void release(size_t bytes);
    size_t in_use() const;

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    size_t used_ = 0;  // [mutex_]
};

// The budget of the API routes.
body_budget& api_body_budget();

// Bytes taken from a budget, given back when the hold goes (or at release()).
class body_budget_hold {
public:
    body_budget_hold() = default;
    body_budget_hold(body_budget& budget, size_t bytes) : budget_(&budget), bytes_(bytes) {}
    body_budget_hold(body_budget_hold&& other) noexcept;
    body_budget_hold& operator=(body_budget_hold&& other) noexcept;
    ~body_budget_hold() { release(); }

    void release();

private:
    body_budget* budget_ = nullptr;
    size_t bytes_ = 0;
};

// Reads the body of a route that reads its own content: first takes the body's declared length (the limit for a
// chunked body) from the API budget, then reads it into `body`. On failure it has written the reply and returns
// false: 413 with the route's JSON error body when the body is larger than the limit, 503 when the budget had no
// room in time, 400 when the body could not be read (the library turns that into its 413 when the body grew past
// the limit while being read).
bool read_request_body(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                       std::string& body, body_budget_hold& hold);

// Parses a JSON body once, keeping of its top-level object only the members named in `keys`: the others are never
// built. Throws the JSON library's parse error.
nlohmann::ordered_json parse_request_body(const std::string& text, std::initializer_list<const char*> keys);
