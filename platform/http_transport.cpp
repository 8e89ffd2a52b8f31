#include "platform/http_transport.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

using clock_type = std::chrono::steady_clock;

// Body bytes buffered ahead of the reader; past this the transfer is paused until the reader catches up.
constexpr size_t buffer_high_water = size_t{1} << 20;

bool curl_ready() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

std::string trim(std::string_view s) {
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const size_t last = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(first, last - first + 1));
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

CURLcode add_extra_ca(CURL*, void* ssl_ctx, void* file) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx));
    if (!store || X509_STORE_load_file(store, static_cast<const std::string*>(file)->c_str()) != 1) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
}

} // namespace

struct http_transfer::state {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    long send_timeout_ms = 30000;
    long receive_timeout_ms = 60000;
    bool ok = false;
    std::string body;               // the request body (libcurl reads it from here)
    curl_off_t body_to_send = 0;    // its size when it is sent, else 0
    curl_off_t uploaded = 0;        // body bytes sent so far, as last seen
    std::function<bool()> still_wanted;

    bool head_done = false;
    bool finished = false;
    bool paused = false;
    bool request_sent = false;
    CURLcode result = CURLE_OK;
    long status = 0;
    std::vector<std::pair<std::string, std::string>> fields; // of the latest response head
    std::string pending;                                      // body bytes not yet read
    size_t pending_pos = 0;
    clock_type::time_point last_activity = clock_type::now();
    clock_type::time_point last_wanted_check = clock_type::now();

    size_t available() const { return pending.size() - pending_pos; }

    void fail(CURLcode code) {
        finished = true;
        if (result == CURLE_OK) result = code;
    }

    static size_t on_header(char* data, size_t size, size_t count, void* user) {
        auto* s = static_cast<state*>(user);
        const std::string_view line(data, size * count);
        s->last_activity = clock_type::now();
        if (line.compare(0, 5, "HTTP/") == 0) {
            s->fields.clear(); // a new response head (after a 1xx answer)
        } else if (trim(line).empty()) {
            long code = 0;
            curl_easy_getinfo(s->easy, CURLINFO_RESPONSE_CODE, &code);
            if (code >= 200) {
                s->head_done = true;
                s->status = code;
            }
        } else if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
            s->fields.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        }
        return size * count;
    }

    static size_t on_body(char* data, size_t size, size_t count, void* user) {
        auto* s = static_cast<state*>(user);
        if (s->available() >= buffer_high_water) {
            s->paused = true;
            return CURL_WRITEFUNC_PAUSE; // curl keeps these bytes and hands them over again after the pause
        }
        if (s->pending_pos > 0 && s->pending_pos >= s->pending.size() / 2) {
            s->pending.erase(0, s->pending_pos);
            s->pending_pos = 0;
        }
        s->pending.append(data, size * count);
        s->last_activity = clock_type::now();
        return size * count;
    }

    // Runs the transfer until `done()` holds, the transfer ends, or the receive time-out strikes.
    template <class Done> void drive(Done done) {
        while (!done() && !finished) {
            int running = 0;
            if (curl_multi_perform(multi, &running) != CURLM_OK) return fail(CURLE_OUT_OF_MEMORY);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE) {
                    finished = true;
                    result = message->data.result;
                }
            }
            if (done() || finished) return;
            const auto now = clock_type::now();
            if (still_wanted && now - last_wanted_check >= std::chrono::milliseconds(100)) {
                last_wanted_check = now;
                if (!still_wanted()) return fail(CURLE_ABORTED_BY_CALLBACK);
            }
            if (!request_sent) {
                curl_off_t sent_at = 0;
                curl_easy_getinfo(easy, CURLINFO_PRETRANSFER_TIME_T, &sent_at);
                if (sent_at > 0) {
                    request_sent = true;
                    last_activity = now;
                }
            } else {
                bool sending = false; // the body is still going out: the send limit applies, not the receive one
                if (body_to_send > 0 && !head_done) {
                    curl_off_t sent = 0;
                    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &sent);
                    if (sent != uploaded) {
                        uploaded = sent;
                        last_activity = now;
                    }
                    sending = uploaded < body_to_send;
                }
                const long limit_ms = sending ? send_timeout_ms : receive_timeout_ms;
                if (!paused && now - last_activity > std::chrono::milliseconds(limit_ms)) {
                    return fail(CURLE_OPERATION_TIMEDOUT);
                }
            }
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
    }
};

http_transport::http_transport(http_transport_options options) : options_(std::move(options)) {
    if (!curl_ready()) throw std::runtime_error("libcurl initialisation failed");
    share_ = curl_share_init();
    if (!share_) throw std::runtime_error("libcurl initialisation failed");
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

http_transport::~http_transport() {
    if (share_) curl_share_cleanup(share_);
}

http_transfer::http_transfer(http_transport& transport, const std::string& url,
                             const std::vector<std::string>& header_lines)
    : http_transfer(transport, http_request_spec{"GET", url, header_lines, {}, false, {}}) {}

http_transfer::http_transfer(http_transport& transport, http_request_spec spec) : state_(std::make_unique<state>()) {
    state& s = *state_;
    const http_transport_options& options = transport.options();
    s.send_timeout_ms = options.send_timeout_ms;
    s.receive_timeout_ms = options.receive_timeout_ms;
    s.still_wanted = std::move(spec.still_wanted);
    s.body = std::move(spec.body);
    const bool with_body = spec.method != "GET" || !s.body.empty();
    s.multi = curl_multi_init();
    s.easy = curl_easy_init();
    if (!s.multi || !s.easy) {
        s.result = CURLE_FAILED_INIT;
        return;
    }
    s.headers = curl_slist_append(s.headers, "Accept:"); // libcurl's default "Accept: */*" is not sent
    if (with_body) s.headers = curl_slist_append(s.headers, "Expect:"); // the body goes at once, as WinHTTP sends it
    for (const std::string& line : spec.header_lines) s.headers = curl_slist_append(s.headers, line.c_str());
    CURL* e = s.easy;
    bool ok = curl_easy_setopt(e, CURLOPT_URL, spec.url.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    if (with_body) {
        s.body_to_send = static_cast<curl_off_t>(s.body.size());
        ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, s.body_to_send) == CURLE_OK;
        ok = ok && curl_easy_setopt(e, CURLOPT_POSTFIELDS, s.body.data()) == CURLE_OK;
        if (spec.method != "POST") {
            ok = ok && curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, spec.method.c_str()) == CURLE_OK;
        }
    } else {
        ok = ok && curl_easy_setopt(e, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    }
    if (spec.direct) ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, "") == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, options.connect_timeout_ms) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_USERAGENT, options.user_agent.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.headers) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_SHARE, transport.share_handle()) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &state::on_header) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_HEADERDATA, &s) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &state::on_body) == CURLE_OK;
    ok = ok && curl_easy_setopt(e, CURLOPT_WRITEDATA, &s) == CURLE_OK;
    if (ok && !options.extra_ca_file.empty()) {
        // A fresh certificate store per connection, so that the extra file is added to the system's store once.
        ok = curl_easy_setopt(e, CURLOPT_CA_CACHE_TIMEOUT, 0L) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &add_extra_ca) == CURLE_OK &&
             curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &transport.options().extra_ca_file) == CURLE_OK;
    }
    if (!ok || curl_multi_add_handle(s.multi, e) != CURLM_OK) {
        s.result = CURLE_FAILED_INIT;
        return;
    }
    s.ok = true;
}

http_transfer::~http_transfer() {
    state& s = *state_;
    if (s.multi && s.easy && s.ok) curl_multi_remove_handle(s.multi, s.easy);
    if (s.easy) curl_easy_cleanup(s.easy);
    if (s.multi) curl_multi_cleanup(s.multi);
    curl_slist_free_all(s.headers);
}

bool http_transfer::ready() const { return state_->ok; }

bool http_transfer::wait_for_head() {
    state& s = *state_;
    if (!s.ok) return false;
    s.drive([&] { return s.head_done; });
    if (s.head_done) return true;
    if (s.result == CURLE_OK) s.result = CURLE_GOT_NOTHING;
    return false;
}

long http_transfer::status() const { return state_->status; }

bool http_transfer::header(std::string_view name, std::string& value) const {
    for (const auto& [field, content] : state_->fields) {
        if (same_name(field, name)) {
            value = content;
            return true;
        }
    }
    return false;
}

long http_transfer::read_some(char* buffer, size_t capacity) {
    state& s = *state_;
    if (!s.ok) return -1;
    if (capacity == 0) return 0;
    if (s.available() == 0) {
        if (s.paused) {
            s.paused = false;
            s.last_activity = clock_type::now();
            curl_easy_pause(s.easy, CURLPAUSE_CONT); // may hand over the held-back bytes right here
        }
        s.drive([&] { return s.available() > 0; });
    }
    if (const size_t n = std::min(capacity, s.available()); n > 0) {
        std::memcpy(buffer, s.pending.data() + s.pending_pos, n);
        s.pending_pos += n;
        return static_cast<long>(n);
    }
    if (s.finished && s.result == CURLE_OK) return 0;
    return -1;
}

int http_transfer::error_code() const { return static_cast<int>(state_->result); }
