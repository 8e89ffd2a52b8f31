// The HTTP client against a real HTTPS server of our own on 127.0.0.1 (tests/common/https_server.js). The Hub is
// "localhost" here (HF_ENDPOINT), so a redirect to 127.0.0.1 is a change of host away from the Hub.
#include "common/http_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include <nlohmann/json.hpp>

#include "common/https_server.h"
#include "common/text_helpers.h"

namespace {

std::string pattern_bytes(size_t from, size_t to) {
    std::string out;
    out.reserve(to - from);
    for (size_t i = from; i < to; ++i) out += static_cast<char>(i % 251);
    return out;
}

class HttpClient : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new https_test_server();
        setenv("MIVRA_CA_FILE", server_->ca_file().c_str(), 1);
        setenv("HF_ENDPOINT", server_->url("", "localhost").c_str(), 1);
        for (const char* proxy : {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY"}) {
            unsetenv(proxy);
        }
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        unsetenv("HF_TOKEN");
        unsetenv("HUGGING_FACE_HUB_TOKEN");
    }

    static std::string url(const std::string& path, const std::string& host = "127.0.0.1") {
        return server_->url(path, host);
    }

    // The request headers that /echo saw at the end of `start`'s redirects.
    static nlohmann::json echoed(std::string start, uint64_t offset = 0, std::string* final_url = nullptr) {
        http_session session;
        http_request request = http_get(session, start, offset, "", false);
        if (final_url) *final_url = start;
        return nlohmann::json::parse(read_response_body(request)).at("headers");
    }

    static std::string error_of(std::string start, bool allow_http = false) {
        try {
            http_session session;
            http_get(session, start, 0, "", allow_http);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    }

    static inline https_test_server* server_ = nullptr;
};

TEST_F(HttpClient, HubTokenGoesOnlyToHubHosts) {
    setenv("HF_TOKEN", "hf_secret", 1);
    EXPECT_EQ(echoed(url("/echo", "localhost")).value("authorization", ""), "Bearer hf_secret");
    EXPECT_FALSE(echoed(url("/echo")).contains("authorization"));
    // Redirected away from the Hub: the next hop carries no token; redirected onto it: it does.
    std::string final_url;
    const auto away = echoed(url("/redirect?to=" + query_encode(url("/echo")), "localhost"), 0, &final_url);
    EXPECT_FALSE(away.contains("authorization"));
    EXPECT_EQ(final_url, url("/echo"));
    const auto onto = echoed(url("/redirect?to=" + query_encode(url("/echo", "localhost"))));
    EXPECT_EQ(onto.value("authorization", ""), "Bearer hf_secret");
    // Every request carries the program's user agent and no Accept line of the library's own.
    EXPECT_EQ(away.value("user-agent", ""), "Mozilla/5.0 (Windows NT 10.0; Win64; x64) Mivra/0.1");
    EXPECT_FALSE(away.contains("accept"));
}

// A service's key (origin headers) goes only to the first URL's scheme, host and port; plain extra headers go
// everywhere, in the order given.
TEST_F(HttpClient, OriginHeadersStayWithTheFirstOrigin) {
    auto seen = [](const std::string& start) {
        std::string body, error;
        EXPECT_TRUE(http_get_capped(start, "Accept: text/x-one\r\n", body, error, 100000, "X-Key: k1\r\n")) << error;
        return nlohmann::json::parse(body).at("headers");
    };
    struct row {
        std::string start;
        bool key;
    };
    const row rows[] = {
        {url("/echo"), true},
        {url("/redirect?to=" + query_encode("/echo")), true},
        {url("/redirect?to=" + query_encode(url("/redirect?to=" + query_encode("/echo")))), true},
        {url("/redirect?to=" + query_encode(url("/echo", "localhost"))), false},
        {url("/redirect?to=" + query_encode(server_->plain_url("/echo"))), false},
        {url("/redirect?to=" + query_encode(url("/redirect?to=" + query_encode(url("/echo", "localhost"))))), false},
        {server_->plain_url("/redirect?to=" + query_encode(url("/echo"))), false},
    };
    for (const row& r : rows) {
        const nlohmann::json headers = seen(r.start);
        EXPECT_EQ(headers.value("accept", ""), "text/x-one") << r.start;
        EXPECT_EQ(headers.contains("x-key"), r.key) << r.start;
    }
}

TEST_F(HttpClient, TokenVariables) {
    setenv("HF_TOKEN", "", 1);
    setenv("HUGGING_FACE_HUB_TOKEN", "hf_old", 1);
    EXPECT_FALSE(echoed(url("/echo", "localhost")).contains("authorization")); // set but empty wins
    unsetenv("HF_TOKEN");
    EXPECT_EQ(echoed(url("/echo", "localhost")).value("authorization", ""), "Bearer hf_old");
}

TEST(HttpClientHubHosts, ExactHostOrSubdomain) {
    struct row {
        const char* host;
        bool hub;
    };
    const row rows[] = {{"huggingface.co", true},     {"cdn-lfs.huggingface.co", true}, {"a.b.huggingface.co", true},
                        {"xhuggingface.co", false},   {".huggingface.co", false},       {"huggingface.com", false},
                        {"HuggingFace.co", false},    {"huggingface.co.evil.net", false}};
    for (const row& r : rows) EXPECT_EQ(is_hub_host(r.host, "huggingface.co"), r.hub) << r.host;
}

TEST_F(HttpClient, RangesAreAskedOnEveryHop) {
    EXPECT_FALSE(echoed(url("/echo")).contains("range"));
    EXPECT_EQ(echoed(url("/echo"), 1234).value("range", ""), "bytes=1234-");
    EXPECT_EQ(echoed(url("/redirect?status=307&to=" + query_encode(url("/echo"))), 1234).value("range", ""),
              "bytes=1234-");
    // The server's answer decides the status; 200 to a range request is the caller's to judge.
    http_session session;
    std::string ranged = url("/bytes/10000");
    http_request partial = http_get(session, ranged, 1234, "", false);
    EXPECT_EQ(partial.status, 206u);
    EXPECT_EQ(read_response_body(partial), pattern_bytes(1234, 10000));
    std::string ignored = url("/bytes/10000?ignore_range=1");
    http_request whole = http_get(session, ignored, 1234, "", false);
    EXPECT_EQ(whole.status, 200u);
    EXPECT_EQ(read_response_body(whole), pattern_bytes(0, 10000));
}

TEST_F(HttpClient, RedirectsAreFollowedByHandNineAtMost) {
    for (const char* status : {"301", "302", "303", "307", "308"}) {
        std::string final_url;
        echoed(url("/redirect?status=" + std::string(status) + "&to=" + query_encode(url("/echo?x=1"))), 0, &final_url);
        EXPECT_EQ(final_url, url("/echo?x=1")) << status;
    }
    http_session session;
    std::string nine = url("/chain/9");
    http_request request = http_get(session, nine, 0, "", false);
    EXPECT_EQ(read_response_body(request), "end");
    EXPECT_EQ(nine, url("/chain/0"));
    EXPECT_EQ(error_of(url("/chain/10")), "too many redirects");
    // A Location starting with '/' keeps scheme, host and (non-default) port; any other is used as it stands.
    std::string relative = url("/location?value=" + query_encode("/echo?c=1"));
    http_get(session, relative, 0, "", false);
    EXPECT_EQ(relative, "https://127.0.0.1:" + std::to_string(server_->port()) + "/echo?c=1");
    EXPECT_EQ(error_of(url("/location?value=elsewhere/page")), "bad URL elsewhere/page");
    EXPECT_EQ(error_of(url("/location")), "redirect without Location");
    EXPECT_EQ(error_of(url("/location?value=/" + std::string(5000, 'a'))), "redirect without Location");
    EXPECT_EQ(error_of(url("/location?status=304&value=/echo")), "HTTP 304 from 127.0.0.1: ");
}

TEST_F(HttpClient, PlainHttpOnlyWhereAllowed) {
    const std::string to_plain = url("/redirect?to=" + query_encode(server_->plain_url("/echo")));
    std::string body, error;
    EXPECT_FALSE(http_get_text(to_plain, body, error));
    EXPECT_EQ(error, "refusing non-HTTPS URL " + server_->plain_url("/echo"));
    EXPECT_EQ(body, "");
    ASSERT_TRUE(http_get_capped(to_plain, "", body, error, 100000)) << error;
    EXPECT_EQ(nlohmann::json::parse(body).at("url"), "/echo");
    EXPECT_EQ(error_of(server_->plain_url("/echo")), "refusing non-HTTPS URL " + server_->plain_url("/echo"));
}

TEST_F(HttpClient, FailureTexts) {
    setenv("HF_TOKEN", "hf_secret", 1);
    const std::string gated = "HTTP 401: no such repo, or it is private/gated (then set HF_TOKEN to a Hugging Face "
                              "access token)";
    struct row {
        std::string url;
        std::string error;
    };
    const row rows[] = {
        {url("/status/404"), "HTTP 404, not found: " + url("/status/404")},
        {url("/status/404", "localhost"), "HTTP 404, not found: " + url("/status/404", "localhost")},
        {url("/status/500?size=5000"), "HTTP 500 from 127.0.0.1: " + std::string(300, 'e')},
        {url("/status/401?size=3", "localhost"), gated},
        {url("/status/403", "localhost"), "HTTP 403" + gated.substr(8)},
        {url("/status/401?size=3"), "HTTP 401 from 127.0.0.1: eee"},
        {"not a url", "bad URL not a url"},
        {"ftp://127.0.0.1/file", "bad URL ftp://127.0.0.1/file"},
        {"https:///path", "bad URL https:///path"},
        {"https://127.0.0.1:99999/", "bad URL https://127.0.0.1:99999/"},
        {"https://127.0.0.1:1/", "request to 127.0.0.1 failed (error 7)"},
    };
    for (const row& r : rows) EXPECT_EQ(error_of(r.url), r.error) << r.url;
    EXPECT_EQ(last_error_code(), 7);
    EXPECT_EQ(last_error_suffix(), " (error 7)");
}

TEST_F(HttpClient, UntrustedCertificateFails) {
    const std::string ca = std::getenv("MIVRA_CA_FILE");
    unsetenv("MIVRA_CA_FILE");
    const std::string error = error_of(url("/echo"));
    setenv("MIVRA_CA_FILE", ca.c_str(), 1);
    EXPECT_EQ(error, "request to 127.0.0.1 failed (error 60)");
}

TEST_F(HttpClient, CappedAndWholeBodies) {
    std::string body, error;
    ASSERT_TRUE(http_get_capped(url("/bytes/1048576"), "", body, error, 16384)) << error;
    EXPECT_EQ(body, pattern_bytes(0, 16384));
    ASSERT_TRUE(http_get_capped(url("/bytes/1048576"), "", body, error, 0)) << error;
    EXPECT_EQ(body, "");
    EXPECT_FALSE(http_get_capped(url("/status/404"), "", body, error, 10));
    EXPECT_EQ(error, "HTTP 404, not found: " + url("/status/404"));
    // Larger than the transport's read-ahead, so the transfer pauses and resumes under the reader.
    ASSERT_TRUE(http_get_text(url("/bytes/3500000?chunked=1"), body, error)) << error;
    EXPECT_EQ(body, pattern_bytes(0, 3500000));
    ASSERT_TRUE(http_get_capped(url("/echo"), "X-Test: one\r\nX-Other: two\r\n", body, error, 100000)) << error;
    const auto headers = nlohmann::json::parse(body).at("headers");
    EXPECT_EQ(headers.value("x-test", ""), "one");
    EXPECT_EQ(headers.value("x-other", ""), "two");
}

TEST_F(HttpClient, StreamingReadsAndACutConnection) {
    http_session session;
    std::string address = url("/bytes/10485760");
    http_request request = http_get(session, address, 0, "", false);
    std::vector<char> buffer(4 << 20);
    std::string received;
    long n;
    while ((n = read_response_some(request, buffer.data(), buffer.size())) > 0) {
        ASSERT_LE(static_cast<size_t>(n), buffer.size());
        received.append(buffer.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(received, pattern_bytes(0, 10485760));

    // The server breaks the connection after 300 000 of 1 000 000 bytes: the bytes that came are delivered, then
    // the read fails with the transport's code; a whole-body read just ends early.
    std::string cut = url("/bytes/1000000?cut=300000");
    http_request broken = http_get(session, cut, 0, "", false);
    received.clear();
    while ((n = read_response_some(broken, buffer.data(), buffer.size())) > 0) {
        received.append(buffer.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(n, -1);
    EXPECT_NE(last_error_code(), 0);
    EXPECT_EQ(received, pattern_bytes(0, 300000));
    std::string again = url("/bytes/1000000?cut=300000");
    http_request broken_again = http_get(session, again, 0, "", false);
    EXPECT_EQ(read_response_body(broken_again), pattern_bytes(0, 300000));
}

} // namespace
