// The provider relay on a real `mivra serve` whose settings name a provider: a stub provider of the test's own on
// 127.0.0.1 (cpp-httplib, scripted per request), the HTTPS test server with provider routes, and a second
// `mivra serve` as the provider. The page's side is an HTTP client of the test that carries the page token.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#include "agent/stub_web_server.h"
#include "agent_user.h"
#include "common/https_server.h"

using nlohmann::json;
using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const std::string test_dir = MIVRA_AGENT_TEST_DIR;

// A provider stand-in on 127.0.0.1: /v1/chat/completions and /v1/models answer as the test has scripted them
// (scripts may be replaced between requests); every request's body is recorded.
class stub_provider {
public:
    using handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    stub_provider() {
        web_.routes().Post("/v1/chat/completions", [this](const httplib::Request& req, httplib::Response& res) {
            handler script;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                bodies_.push_back(req.body);
                script = chat_;
            }
            script(req, res);
        });
        web_.routes().Get("/v1/models", [this](const httplib::Request& req, httplib::Response& res) {
            handler script;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                script = models_;
            }
            script(req, res);
        });
        web_.start();
    }

    void on_chat(handler h) {
        std::lock_guard<std::mutex> lock(mutex_);
        chat_ = std::move(h);
    }
    void on_models(handler h) {
        std::lock_guard<std::mutex> lock(mutex_);
        models_ = std::move(h);
    }
    // Both routes answer `status` with `body`.
    void answer(int status, const std::string& body, const std::string& type = "application/json") {
        const handler h = [=](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, type);
        };
        on_chat(h);
        on_models(h);
    }
    std::vector<std::string> bodies() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bodies_;
    }
    std::vector<stub_web_server::seen_request> requests() const { return web_.requests(); }
    std::string url(const std::string& path) const { return web_.url(path); }
    int port() const { return web_.port(); }

private:
    stub_web_server web_;
    mutable std::mutex mutex_;
    handler chat_, models_;           // guarded by mutex_
    std::vector<std::string> bodies_; // guarded by mutex_
};

// The page: requests to the relay with the token of a server.
class page_client {
public:
    explicit page_client(const serve_process& server) : server_(server) {
        httplib::Client c("127.0.0.1", server.port());
        auto res = c.Get("/simple");
        if (!res) throw std::runtime_error("no answer to GET /simple");
        token_ = page_token(res->body);
    }

    struct answer {
        int status = 0;
        std::string body;
        std::string content_type;
    };

    // POST /agent/llm; `on_data`, when given, receives the body as it arrives (false hangs up).
    answer post(const std::string& body, const std::function<bool(const char*, size_t)>& on_data = {},
                std::chrono::seconds read_timeout = 60s) const {
        httplib::Client c("127.0.0.1", server_.port());
        c.set_read_timeout(read_timeout);
        const httplib::Headers headers = {{"X-Mivra-Token", token_}};
        answer a;
        httplib::Result res = on_data ? c.Post("/agent/llm", headers, body, "application/json",
                                               [&](const char* data, size_t n) {
                                                   a.body.append(data, n);
                                                   return on_data(data, n);
                                               })
                                      : c.Post("/agent/llm", headers, body, "application/json");
        if (!res) return a;  // status 0: the page hung up or gave up
        a.status = res->status;
        if (!on_data) a.body = res->body;
        a.content_type = res->get_header_value("Content-Type");
        return a;
    }

    answer models() const {
        httplib::Client c("127.0.0.1", server_.port());
        c.set_read_timeout(60s);
        auto res = c.Get("/agent/llm/models", httplib::Headers{{"X-Mivra-Token", token_}});
        if (!res) throw std::runtime_error("no answer to GET /agent/llm/models");
        return {res->status, res->body, res->get_header_value("Content-Type")};
    }

private:
    const serve_process& server_;
    std::string token_;
};

json provider_settings(const agent_user& user, const std::string& base_url, const std::string& model,
                       const json& keys = json::object()) {
    return {{"workspace", user.workspace.string()},
            {"provider", {{"kind", "openai"}, {"base_url", base_url}, {"model", model}, {"context", 128000}}},
            {"provider_keys", keys}};
}

std::string streamed_error(const std::string& message) {
    return "\n\ndata: " + json({{"error", {{"message", message}}}}).dump() + "\n\n";
}

std::string plain_error(const std::string& message) { return json({{"error", {{"message", message}}}}).dump(); }

template <class Condition> bool wait_for(Condition condition, std::chrono::milliseconds limit) {
    const auto end = clock_type::now() + limit;
    while (!condition()) {
        if (clock_type::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

long long ms_between(clock_type::time_point a, clock_type::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// A proxy that nothing serves: requests to this machine must never be sent through it.
std::map<std::string, std::string> dead_proxies() {
    const std::string dead = "http://127.0.0.1:" + std::to_string(free_port());
    return {{"http_proxy", dead}, {"HTTP_PROXY", dead}, {"https_proxy", dead}, {"HTTPS_PROXY", dead},
            {"all_proxy", dead},  {"ALL_PROXY", dead},  {"no_proxy", ""},      {"NO_PROXY", ""}};
}

serve_options with_env(serve_options o, const std::map<std::string, std::string>& env) {
    for (const auto& [name, value] : env) o.env[name] = value;
    return o;
}

}  // namespace

// The request as the provider gets it, and a streamed answer passed on block by block: the provider sends its
// second event only once the page has shown it has the first.
TEST(ProviderRelay, RewritesTheRequestAndPassesTheStreamThroughAsItArrives) {
    stub_provider provider;
    agent_user user;
    const std::string base = provider.url("/v1");
    user.seed_settings(provider_settings(user, base + "/", "relay-model", {{base, "sk-test"}, {base + "/", "wrong"}}));
    serve_process server(with_env(user.options(), dead_proxies()));
    const page_client page(server);

    const std::string first = "data: {\"choices\":[{\"delta\":{\"content\":\"Hel\"}}]}\n\n";
    const std::string second = "data: {\"choices\":[{\"delta\":{\"content\":\"lo\"}}]}\n\n";
    const std::string last = "data: [DONE]\n\n";
    std::atomic<bool> page_has_first{false};
    std::atomic<bool> shown_before_second{false};
    provider.on_chat([&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/event-stream", [&](size_t, httplib::DataSink& sink) {
            sink.write(first.data(), first.size());
            shown_before_second = wait_for([&] { return page_has_first.load(); }, 10s);
            sink.write(second.data(), second.size());
            sink.write(last.data(), last.size());
            sink.done();
            return true;
        });
    });

    const std::string request =
        R"({"stream":true,"model":"x","mode":"exact","messages":[{"role":"user","content":"hi é"}],)"
        R"("chat_template_kwargs":{"enable_thinking":true},"stream_options":{"include_usage":false,"z":1},)"
        R"("tools":[{"type":"function","function":{"name":"f","parameters":{"type":"object","properties":{}}}}]})";
    const page_client::answer a = page.post(request, [&](const char*, size_t) {
        page_has_first = true;
        return true;
    });
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.content_type, "text/event-stream");
    EXPECT_EQ(a.body, first + second + last);
    EXPECT_TRUE(shown_before_second) << "the first event reached the page only with the rest";

    ASSERT_EQ(provider.bodies().size(), 1u);
    EXPECT_EQ(provider.bodies()[0],
              R"({"messages":[{"content":"hi é","role":"user"}],"model":"relay-model","stream":true,)"
              R"("stream_options":{"include_usage":true},"tools":[{"function":{"name":"f","parameters":)"
              R"({"properties":{},"type":"object"}},"type":"function"}]})");
    const stub_web_server::seen_request seen = provider.requests().at(0);
    EXPECT_EQ(seen.target, "/v1/chat/completions");
    EXPECT_EQ(header_of(seen, "Authorization"), "Bearer sk-test");
    EXPECT_EQ(header_of(seen, "Content-Type"), "application/json");
    EXPECT_EQ(header_of(seen, "Accept"), "text/event-stream, application/json");
    EXPECT_EQ(seen.headers.count("Accept"), 1u);
    EXPECT_EQ(header_of(seen, "User-Agent"), "Mivra/0.1");
    bool present = true;
    header_of(seen, "X-Title", &present);
    EXPECT_FALSE(present);
    header_of(seen, "Expect", &present);
    EXPECT_FALSE(present);

    // Without "stream" (or with false) the provider's one JSON body comes back as it is.
    const std::string reply = R"({"choices":[{"message":{"role":"assistant","content":"ok"}}],"usage":{"x":1}})";
    provider.answer(200, reply);
    for (const std::string& body : {std::string(R"({"messages":[],"model":"x"})"),
                                    std::string(R"({"stream":false,"messages":[]})"), std::string("null")}) {
        const page_client::answer plain = page.post(body);
        EXPECT_EQ(plain.status, 200) << body;
        EXPECT_EQ(plain.content_type, "application/json") << body;
        EXPECT_EQ(plain.body, reply) << body;
    }
    const std::vector<std::string> bodies = provider.bodies();
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[1], R"({"messages":[],"model":"relay-model"})");
    EXPECT_EQ(bodies[2], R"({"messages":[],"model":"relay-model","stream":false})");
    EXPECT_EQ(bodies[3], R"({"model":"relay-model"})");
}

// Once the relay has started the page always gets 200; a refusal arrives as one event (streamed) or as the error
// object (plain), with the provider's message and the hint. A redirect is never followed.
TEST(ProviderRelay, RefusalsAndFailuresReachThePageAsErrors) {
    auto owned_provider = std::make_unique<stub_provider>();
    stub_provider& provider = *owned_provider;
    stub_web_server elsewhere;
    elsewhere.routes().Post("/v1/chat/completions", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("{}", "application/json");
    });
    elsewhere.start();
    agent_user user;
    user.seed_settings(provider_settings(user, provider.url("/v1"), "m", {{provider.url("/v1"), "sk-test"}}));
    serve_process server(user.options());
    const page_client page(server);

    std::string html = "<!DOCTYPE html><html><body><h1>503 Service Temporarily Unavailable</h1>";
    html += std::string(10000 - html.size() - 14, '-') + "</body></html>";
    struct row {
        int status;
        std::string body;
        std::string type;
        std::string message;
    };
    const row rows[] = {
        {401, R"({"error":{"message":"bad key."}})", "application/json",
         "the provider answered 401: bad key. Check the API key in Settings → Model."},
        {429, R"({"error":{"message":"Rate limit reached for requests","type":"requests"}})", "application/json",
         "the provider answered 429: Rate limit reached for requests. The provider is limiting requests or the "
         "account has no credit left."},
        {503, html, "text/html",
         "the provider answered 503: " + html.substr(0, 150) + "\n[... 9700 characters cut ...]\n" +
             html.substr(10000 - 150) + "."},
        {500, R"({"error":"upstream failed"})", "application/json",
         R"(the provider answered 500: "upstream failed".)"},
        {404, "", "text/plain", "the provider answered 404: no details. Check the model name and the address in "
                                "Settings → Model."},
    };
    for (const row& r : rows) {
        provider.answer(r.status, r.body, r.type);
        page_client::answer a = page.post(R"({"stream":true,"messages":[]})");
        EXPECT_EQ(a.status, 200) << r.status;
        EXPECT_EQ(a.content_type, "text/event-stream");
        EXPECT_EQ(a.body, streamed_error(r.message)) << r.status;
        a = page.post(R"({"messages":[]})");
        EXPECT_EQ(a.status, 200) << r.status;
        EXPECT_EQ(a.content_type, "application/json");
        EXPECT_EQ(a.body, plain_error(r.message)) << r.status;
    }

    // A redirect to another server is the provider's answer, not a way for the key to go elsewhere.
    provider.on_chat([&](const httplib::Request&, httplib::Response& res) {
        res.status = 307;
        res.set_header("Location", elsewhere.url("/v1/chat/completions"));
        res.set_content("moved", "text/plain");
    });
    EXPECT_EQ(page.post(R"({"messages":[]})").body, plain_error("the provider answered 307: moved."));
    EXPECT_TRUE(elsewhere.requests().empty());

    // The page's own mistakes, before anything is sent: the JSON library's texts in the OpenAI error shape.
    const std::size_t sent = provider.bodies().size();
    const std::pair<std::string, std::string> bad_bodies[] = {
        {"[1]", "[json.exception.type_error.305] cannot use operator[] with a string argument with array"},
        {R"("text")", "[json.exception.type_error.305] cannot use operator[] with a string argument with string"},
        {"true", "[json.exception.type_error.305] cannot use operator[] with a string argument with boolean"},
        {R"({"stream":"yes"})", "[json.exception.type_error.302] type must be boolean, but is string"},
        {R"({"stream":null})", "[json.exception.type_error.302] type must be boolean, but is null"},
    };
    for (const auto& [body, message] : bad_bodies) {
        const page_client::answer a = page.post(body);
        EXPECT_EQ(a.status, 400) << body;
        EXPECT_EQ(a.content_type, "application/json");
        EXPECT_EQ(a.body, plain_error(message)) << body;
    }
    const page_client::answer not_json = page.post("{\"messages\": [");
    EXPECT_EQ(not_json.status, 400);
    EXPECT_TRUE(json::parse(not_json.body)["error"]["message"].get<std::string>().starts_with(
        "[json.exception.parse_error.101]"))
        << not_json.body;
    EXPECT_EQ(provider.bodies().size(), sent);

    // Nothing listens any more at the provider's address.
    owned_provider.reset();
    const std::string refused = "cannot connect to 127.0.0.1 (is that program running?)";
    EXPECT_EQ(page.post(R"({"stream":true,"messages":[]})").body, streamed_error(refused));
    EXPECT_EQ(page.post(R"({"messages":[]})").body, plain_error(refused));
    EXPECT_EQ(json::parse(page.models().body), json({{"error", refused}, {"models", json::array()}}));
}

// The model list in both forms, a list that cannot be read, and a refusal.
TEST(ProviderRelay, ModelList) {
    stub_provider provider;
    agent_user user;
    user.seed_settings(provider_settings(user, provider.url("/v1/"), "m", {{provider.url("/v1"), "sk-list"}}));
    serve_process server(user.options());
    const page_client page(server);

    const std::pair<std::string, json> rows[] = {
        {R"({"object":"list","data":[{"id":"a","object":"model"},{"id":"b"}]})", {{"models", {"a", "b"}}}},
        {R"({"models":[{"name":"c","size":1},5,{"other":1}]})", {{"models", {"c", ""}}}},
        {R"({"data":[{"id":"a"},{"id":7},{"id":"b"}]})",
         {{"models", {"a"}}, {"error", "the provider's model list could not be read"}}},
        {"<html>not a list</html>", {{"models", json::array()}, {"error", "the provider's model list could not be read"}}},
        {"[]", {{"models", json::array()}, {"error", "the provider's model list could not be read"}}},
        {"{}", {{"models", json::array()}}},
    };
    for (const auto& [body, expected] : rows) {
        provider.answer(200, body);
        const page_client::answer a = page.models();
        EXPECT_EQ(a.status, 200) << body;
        EXPECT_EQ(a.content_type, "application/json");
        EXPECT_EQ(a.body, expected.dump()) << body;
    }
    const stub_web_server::seen_request seen = provider.requests().back();
    EXPECT_EQ(seen.target, "/v1/models");
    EXPECT_EQ(header_of(seen, "Authorization"), "Bearer sk-list");

    provider.answer(401, R"({"error":{"message":"Incorrect API key provided."}})");
    EXPECT_EQ(page.models().body,
              json({{"error", "the provider answered 401: Incorrect API key provided. Check the API key in Settings → "
                              "Model."},
                    {"models", json::array()}})
                  .dump());
}

// A page that goes away ends the transfer from the provider: while the provider streams, and while it has not
// answered at all.
TEST(ProviderRelay, APageThatHangsUpStopsTheUpstreamTransfer) {
    stub_provider provider;
    agent_user user;
    user.seed_settings(provider_settings(user, provider.url("/v1"), "m"));
    serve_process server(user.options());
    const page_client page(server);

    std::mutex mutex;
    std::condition_variable changed;
    std::optional<clock_type::time_point> provider_stopped;  // guarded by mutex
    const auto stop_noted = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        provider_stopped = clock_type::now();
        changed.notify_all();
    };
    const auto wait_stopped = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, 40s, [&] { return provider_stopped.has_value(); });
        const auto at = provider_stopped;
        provider_stopped.reset();
        return at;
    };

    // Streaming: an event every 50 ms for up to 30 s, until a write fails.
    provider.on_chat([&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/event-stream", [&](size_t, httplib::DataSink& sink) {
            const std::string event = "data: {\"choices\":[{\"delta\":{\"content\":\"x\"}}]}\n\n";
            for (int i = 0; i < 600 && sink.write(event.data(), event.size()); ++i) std::this_thread::sleep_for(50ms);
            stop_noted();
            sink.done();
            return true;
        });
    });
    page_client::answer a = page.post(R"({"stream":true,"messages":[]})", [](const char*, size_t) { return false; });
    const auto hung_up = clock_type::now();
    EXPECT_EQ(a.status, 0);
    EXPECT_FALSE(a.body.empty());
    std::optional<clock_type::time_point> stopped = wait_stopped();
    ASSERT_TRUE(stopped.has_value());
    EXPECT_LT(ms_between(hung_up, *stopped), 1000);

    // Silent: the provider keeps the request without answering; the page gives up after a second.
    provider.on_chat([&](const httplib::Request& req, httplib::Response& res) {
        const auto until = clock_type::now() + 30s;
        while (!req.is_connection_closed() && clock_type::now() < until) std::this_thread::sleep_for(20ms);
        stop_noted();
        res.set_content("{}", "application/json");
    });
    a = page.post(R"({"messages":[]})", {}, 1s);
    const auto gave_up = clock_type::now();
    EXPECT_EQ(a.status, 0);
    stopped = wait_stopped();
    ASSERT_TRUE(stopped.has_value());
    EXPECT_LT(ms_between(gave_up, *stopped), 1000);
}

// Settings that cannot make a relay: no address, an address without a scheme, plain http to another machine (the
// key would travel in clear), no model. The model list reports the same address problems in its "error".
TEST(ProviderRelay, SettingsThatCannotRelay) {
    stub_provider provider;
    const std::string address_text = "set the provider's address in Settings → Model";
    const std::string clear_text = "the provider address must start with https:// (or http:// for a program on this PC)";
    struct row {
        std::string base_url;
        std::string model;
        std::string relay_error;
        std::string models_error;
    };
    const row rows[] = {
        {"", "m", address_text, "not a valid address: /models"},
        {"api.example.com/v1", "m", address_text, "not a valid address: api.example.com/v1/models"},
        {"HTTPS://api.example.com/v1", "m", address_text, ""},
        {"http://192.0.2.1:" + std::to_string(provider.port()) + "/v1", "m", clear_text, clear_text},
        {"http://provider.example/v1", "m", clear_text, clear_text},
        {provider.url("/v1"), "", "set the model name in Settings → Model", ""},
    };
    provider.answer(200, R"({"data":[{"id":"listed"}]})");
    for (const row& r : rows) {
        agent_user user;
        user.seed_settings(provider_settings(user, r.base_url, r.model));
        serve_process server(user.options());
        const page_client page(server);
        const page_client::answer a = page.post(R"({"stream":true,"messages":[]})");
        EXPECT_EQ(a.status, 400) << r.base_url;
        EXPECT_EQ(a.content_type, "application/json");
        EXPECT_EQ(a.body, plain_error(r.relay_error)) << r.base_url;
        if (r.base_url.starts_with("HTTPS")) continue;  // the list would ask a host on the network
        const json expected = r.models_error.empty()
                                  ? json({{"models", {"listed"}}})
                                  : json({{"error", r.models_error}, {"models", json::array()}});
        EXPECT_EQ(page.models().body, expected.dump()) << r.base_url;
    }
    EXPECT_TRUE(provider.bodies().empty());
}

// A provider over TLS: the certificate is verified (the test's own CA is trusted only through MIVRA_CA_FILE), and
// a provider that has gone away over https gets the text without the hint about a program on this PC.
TEST(ProviderRelay, ProviderOverTls) {
    auto tls = std::make_unique<https_test_server>(test_dir + "/provider_plugin.cjs");
    const std::string base = tls->url("/v1");
    {
        agent_user user;
        user.seed_settings(provider_settings(user, base, "tls-model", {{base, "sk-tls"}}));
        serve_process server(with_env(user.options(), {{"MIVRA_CA_FILE", tls->ca_file()}}));
        const page_client page(server);

        const page_client::answer a = page.post(R"({"stream":true,"messages":[{"role":"user","content":"hi"}]})");
        EXPECT_EQ(a.status, 200);
        const std::vector<std::string> events = sse_events(a.body);
        ASSERT_EQ(events.size(), 2u) << a.body;
        const json echo = json::parse(events[0]);
        EXPECT_EQ(echo["authorization"], "Bearer sk-tls");
        EXPECT_EQ(echo["body"]["model"], "tls-model");
        EXPECT_EQ(echo["body"]["stream_options"], json({{"include_usage", true}}));
        EXPECT_EQ(events[1], "[DONE]");
        EXPECT_EQ(page.models().body, R"({"models":["tls-model"]})");

        tls.reset();
        EXPECT_EQ(page.post(R"({"stream":true,"messages":[]})").body, streamed_error("cannot connect to 127.0.0.1"));
    }
    tls = std::make_unique<https_test_server>(test_dir + "/provider_plugin.cjs");
    agent_user user;
    user.seed_settings(provider_settings(user, tls->url("/v1"), "tls-model"));
    serve_process server(user.options());  // the test's CA is not trusted here
    const page_client page(server);
    EXPECT_EQ(page.post(R"({"messages":[]})").body, plain_error("connection to 127.0.0.1 failed (60)"));
}

// A second `mivra serve` as the provider: its streamed answer comes through event by event and ends with [DONE];
// its model list has its one model.
TEST(ProviderRelay, AnotherMivraServeAsTheProvider) {
    agent_user provider_user;
    serve_process provider(provider_user.options());
    agent_user user;
    user.seed_settings(provider_settings(user, provider.url() + "/v1", "any-name"));
    serve_process server(user.options());
    const page_client page(server);

    int blocks = 0;
    const page_client::answer a = page.post(
        R"({"stream":true,"max_tokens":12,"temperature":0,"messages":[{"role":"user","content":"Hello"}]})",
        [&](const char*, size_t) {
            ++blocks;
            return true;
        });
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.content_type, "text/event-stream");
    const std::vector<std::string> events = sse_events(a.body);
    ASSERT_GE(events.size(), 3u) << a.body;
    EXPECT_EQ(events.back(), "[DONE]");
    EXPECT_EQ(json::parse(events.front())["choices"][0]["delta"]["role"], "assistant") << a.body;
    EXPECT_GT(blocks, 1);
    EXPECT_EQ(page.models().body, R"({"models":["qwen3moe"]})");
}
