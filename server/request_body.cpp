#include "server/request_body.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "server/api_errors.h"

std::string body_too_large_text() {
    return "request body larger than " + std::to_string(request_body_limit >> 20) + " MB";
}

size_t body_budget::acquire(size_t bytes, std::chrono::milliseconds wait) {
    const size_t want = std::clamp<size_t>(bytes, 1, capacity_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, wait, [&] { return used_ + want <= capacity_; })) return 0;
    used_ += want;
    return want;
}

void body_budget::release(size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        used_ -= std::min(bytes, used_);
    }
    cv_.notify_all();
}

size_t body_budget::in_use() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return used_;
}

body_budget& api_body_budget() {
    static body_budget budget(request_body_budget);
    return budget;
}

body_budget_hold::body_budget_hold(body_budget_hold&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

body_budget_hold& body_budget_hold::operator=(body_budget_hold&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::exchange(other.budget_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

void body_budget_hold::release() {
    if (budget_ != nullptr) budget_->release(bytes_);
    budget_ = nullptr;
    bytes_ = 0;
}

bool read_request_body(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                       std::string& body, body_budget_hold& hold) {
    const bool declared = req.has_header("Content-Length");
    const size_t length = declared ? size_t(req.get_header_value_u64("Content-Length")) : request_body_limit;
    if (length > request_body_limit) {
        send_api_error(req, res, 413, body_too_large_text());
        return false;
    }
    const size_t taken = api_body_budget().acquire(length, request_body_wait);
    if (taken == 0) {
        send_api_error(req, res, 503, "the server is busy reading other large requests; try again later");
        return false;
    }
    hold = body_budget_hold(api_body_budget(), taken);
    if (declared) body.reserve(length);
    // The library enforces the limit while reading (a chunked body too) and then answers 413 itself.
    const bool read = reader([&body](const char* data, size_t size) {
        body.append(data, size);
        return true;
    });
    if (!read) send_api_error(req, res, 400, "the request body could not be read (cut off, or sent too slowly)");
    return read;
}

nlohmann::ordered_json parse_request_body(const std::string& text, std::initializer_list<const char*> keys) {
    using ordered_json = nlohmann::ordered_json;
    const ordered_json::parser_callback_t keep_known = [&keys](int depth, ordered_json::parse_event_t event,
                                                               ordered_json& parsed) {
        if (depth != 1 || event != ordered_json::parse_event_t::key || !parsed.is_string()) return true;
        const std::string& key = parsed.get_ref<const std::string&>();
        return std::any_of(keys.begin(), keys.end(), [&key](const char* k) { return key == k; });
    };
    return ordered_json::parse(text, keep_known);
}
