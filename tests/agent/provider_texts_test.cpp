// The provider relay's pieces that need no server: the message made of a provider's refusal, the texts of a
// request that got no answer, the request headers, the address rule for plain http, the configuration read from
// the settings, and the address splitter's limits.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "agent/provider_http.h"
#include "agent/provider_relay.h"
#include "common/http_url.h"
#include "common/process_state.h"

using nlohmann::json;

TEST(ProviderRelayTexts, RefusalMessages) {
    std::string html = "<html><head><title>Service Unavailable</title></head><body>";
    html += std::string(10000 - html.size() - 14, 'x') + "</body></html>";
    ASSERT_EQ(html.size(), 10000u);
    struct row {
        int status;
        std::string body;
        std::string text;
    };
    const row rows[] = {
        {401, R"({"error":{"message":"bad key."}})",
         "the provider answered 401: bad key. Check the API key in Settings → Model."},
        {403, R"({"error":{"message":"forbidden"}})",
         "the provider answered 403: forbidden. Check the API key in Settings → Model."},
        {404, R"({"error":{"message":"no such model: x","code":404}})",
         "the provider answered 404: no such model: x. Check the model name and the address in Settings → Model."},
        {429, R"({"error":{"message":"Rate limit exceeded...  "}})",
         "the provider answered 429: Rate limit exceeded. The provider is limiting requests or the account has no "
         "credit left."},
        {503, "", "the provider answered 503: no details."},
        {503, html,
         "the provider answered 503: " + html.substr(0, 150) + "\n[... 9700 characters cut ...]\n" +
             html.substr(10000 - 150) + "."},
        {500, R"({"error":"model overloaded"})", R"(the provider answered 500: "model overloaded".)"},
        {500, R"({"error":{"code":7}})", R"(the provider answered 500: {"code":7}.)"},
        {400, R"({"error":{"message":5}})", R"(the provider answered 400: {"error":{"message":5}}.)"},
        {400, R"({"message":"top level. \n"})", "the provider answered 400: top level."},
        {400, R"({"message":["x"]})", R"(the provider answered 400: {"message":["x"]}.)"},
        {400, R"({"detail":"other shape"})", "the provider answered 400: no details."},
        {400, R"(["error"])", "the provider answered 400: no details."},
        {502, " . \t\r\n", "the provider answered 502: no details."},
        {418, "short text\n", "the provider answered 418: short text."},
    };
    for (const row& r : rows) {
        EXPECT_EQ(provider_error_text(r.status, r.body), r.text) << r.status << " " << r.body.substr(0, 60);
    }
}

TEST(ProviderRelayTexts, RequestsWithoutAnAnswer) {
    EXPECT_EQ(provider_connection_error(6, "api.example", true), "cannot find api.example (offline, or a wrong address?)");
    EXPECT_EQ(provider_connection_error(7, "127.0.0.1", false), "cannot connect to 127.0.0.1 (is that program running?)");
    EXPECT_EQ(provider_connection_error(7, "api.example", true), "cannot connect to api.example");
    EXPECT_EQ(provider_connection_error(28, "api.example", true), "no answer from api.example in time");
    EXPECT_EQ(provider_connection_error(60, "api.example", true), "connection to api.example failed (60)");

    std::string error;
    const auto never = [](const char*, size_t) { return true; };
    for (const std::string url : {"/models", "ftp://a.example/models", "api.example/v1", "http://", "http://a:0/",
                                  "http://a:65536/", "https://[::1/", "http://a b/"}) {
        error.clear();
        EXPECT_EQ(stream_http_request("GET", url, "", "", never, error, nullptr), 0) << url;
        EXPECT_EQ(error, "not a valid address: " + url);
    }
}

TEST(ProviderRelayTexts, Headers) {
    const std::string common = "Content-Type: application/json\r\nAccept: text/event-stream, application/json\r\n";
    EXPECT_EQ(provider_headers({"https://api.example/v1", "", "m"}), common);
    EXPECT_EQ(provider_headers({"https://api.example/v1", "sk-1", "m"}), common + "Authorization: Bearer sk-1\r\n");
    EXPECT_EQ(provider_headers({"https://openrouter.ai/api/v1", "k", "m"}),
              common + "Authorization: Bearer k\r\nX-Title: Mivra\r\n");
    EXPECT_EQ(provider_headers({"http://127.0.0.1:9/openrouter.ai", "", "m"}), common + "X-Title: Mivra\r\n");
}

// Plain http carries the key in clear text: only to this machine.
TEST(ProviderRelayTexts, PlainHttpOnlyToThisMachine) {
    const std::string rule = "the provider address must start with https:// (or http:// for a program on this PC)";
    const std::pair<std::string, bool> rows[] = {
        {"https://api.example/v1", true},
        {"http://127.0.0.1:8080/v1", true},
        {"http://127.255.3.4/v1", true},
        {"http://localhost:11434/v1", true},
        {"http://LocalHost/v1", true},
        {"http://[::1]:8000/v1", true},
        {"http://api.example/v1", false},
        {"http://10.0.0.2:8080/v1", false},
        {"http://128.0.0.1/v1", false},
        {"http://127.0.0.256/v1", false},
        {"http://127.0.0.01/v1", false},
        {"http://127.1/v1", false},
        {"http://127.0.0.1.example/v1", false},
        {"http://localhost.example/v1", false},
        {"http://localhost./v1", false},
        {"http://[::2]/v1", false},
        {"http://127.0.0.1@api.example/v1", false},   // the host is what follows the '@'
        {"http://api.example#@127.0.0.1/v1", false},
        {"http://api.example?@127.0.0.1/v1", false},
        {"http://", true},                            // never contacted: not a valid address
        {"", true},
    };
    for (const auto& [address, passes] : rows) {
        if (passes) {
            EXPECT_NO_THROW(check_provider_address(address)) << address;
        } else {
            try {
                check_provider_address(address);
                ADD_FAILURE() << address << " passed";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), rule) << address;
            }
        }
    }
}

TEST(ProviderRelayTexts, ConfigurationFromTheSettings) {
    std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
    agent_state.settings = {{"provider", {{"base_url", "https://api.example/v1//"}, {"model", "m1"}}},
                            {"provider_keys", {{"https://api.example/v1", "sk-a"}, {"https://api.example/v1/", "b"}}}};
    provider_config c = read_provider_config();
    EXPECT_EQ(c.base_url, "https://api.example/v1");
    EXPECT_EQ(c.key, "sk-a");
    EXPECT_EQ(c.model, "m1");

    agent_state.settings["provider_keys"] = {{"https://api.example/v1", 5}};
    EXPECT_EQ(read_provider_config().key, "");
    agent_state.settings["provider_keys"] = "sk-a";
    EXPECT_EQ(read_provider_config().key, "");
    agent_state.settings = json::object();
    c = read_provider_config();
    EXPECT_EQ(c.base_url, "");
    EXPECT_EQ(c.model, "");
    EXPECT_EQ(c.key, "");
    agent_state.settings = {{"provider", "x"}};
    EXPECT_THROW(read_provider_config(), json::type_error);
    agent_state.settings = json();
}

// The buffers the address splitter stands for: 256 units for the host, 4096 for the path and the query, each with
// its terminating null.
TEST(ProviderRelayTexts, AddressLimits) {
    url_parts u;
    EXPECT_TRUE(split_http_url("https://" + std::string(255, 'h') + "/", u, 256, 4096));
    EXPECT_FALSE(split_http_url("https://" + std::string(256, 'h') + "/", u, 256, 4096));
    EXPECT_TRUE(split_http_url("https://h/" + std::string(4094, 'p'), u, 256, 4096));
    EXPECT_FALSE(split_http_url("https://h/" + std::string(4095, 'p'), u, 256, 4096));
    EXPECT_TRUE(split_http_url("https://h/?" + std::string(4094, 'q'), u, 256, 4096));
    EXPECT_FALSE(split_http_url("https://h/?" + std::string(4095, 'q'), u, 256, 4096));
    ASSERT_TRUE(split_http_url("HTTP://user:pw@[::1]:81/v1/models?x=1#frag", u, 256, 4096));
    EXPECT_EQ(u.scheme, "http");
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(u.port, 81u);
    EXPECT_EQ(transport_url(u), "http://[::1]:81/v1/models?x=1");
}
