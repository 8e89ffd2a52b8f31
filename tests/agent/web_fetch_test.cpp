// fetch_url against a stub web server on 127.0.0.1: pages become readable text, other bodies are cut in the
// middle, the body is capped, and the client's failures come back as the tool's errors.
#include "agent/web_fetch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "agent/generated_pages.h"
#include "agent/html_text.h"
#include "agent/stub_web_server.h"
#include "agent/web_tools.h"

namespace {

constexpr size_t fetch_cap = 3 * 1024 * 1024;

std::string letters(size_t count) {
    std::string out(count, ' ');
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>('a' + i % 26);
    return out;
}

const std::string shop_page =
    "<!DOCTYPE html>\n<html><head><title>Shop</title><style>b{}</style></head>\n<body><h1>Fish &amp; chips</h1>"
    "<p>Open &lt;daily&gt;</p><script>var t = '<p>';</script><ul><li>cod</li><li>haddock</li></ul></body></html>";

std::string big_script_page() {
    const std::string head = "<html><body><p>before</p><script>";
    const std::string tail = "</script><p>after</p></body></html>";
    return head + std::string(3000000 - head.size() - tail.size(), 'v') + tail;
}

std::string blank_page() {
    std::string page = "<html><body>start";
    for (size_t i = 0; i < 2000000; ++i) page += " \t\r\n"[i % 4];
    return page + "end</body></html>";
}

class WebFetch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN); // the client stops reading at the cap
        for (const char* proxy : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            unsetenv(proxy);
        }
        server_ = new stub_web_server();
        httplib::Server& r = server_->routes();
        r.Get("/shop.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(shop_page, "text/html");
        });
        r.Get("/data.json", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(letters(50000), "application/json");
        });
        r.Get("/plain.txt", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(letters(50000), "text/plain");
        });
        r.Get("/short.txt", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("just <b>this</b> &amp; that", "text/plain");
        });
        r.Get("/code.txt", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("To start a page, write <!DOCTYPE html> then <b>tags</b>.", "text/plain");
        });
        r.Get("/huge.bin", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(letters(4000000), "application/octet-stream");
        });
        r.Get("/big-script.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(big_script_page(), "text/html");
        });
        r.Get("/blank.html", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(blank_page(), "text/html");
        });
        r.Get(R"(/chain/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            const int left = std::stoi(req.matches[1]);
            if (left == 0) return res.set_content("end of the chain", "text/plain");
            res.set_redirect("/chain/" + std::to_string(left - 1), 302);
        });
        r.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("nothing here", "text/plain");
        });
        r.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content("it broke", "text/plain");
        });
        server_->start();
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    static std::string url(const std::string& path) { return server_->url(path); }

    static std::string error_of(const nlohmann::json& arguments) {
        try {
            fetch_url_tool(arguments);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    }

    static inline stub_web_server* server_ = nullptr;
};

} // namespace

TEST_F(WebFetch, PageBecomesReadableText) {
    const nlohmann::json result = fetch_url_tool({{"url", url("/shop.html")}});
    EXPECT_EQ(result, nlohmann::json({{"url", url("/shop.html")},
                                      {"text", " \n\nFish & chips\n\nOpen <daily>\n\n- cod\n\n- haddock\n\n"}}));
    const auto seen = server_->requests().back();
    EXPECT_EQ(header_of(seen, "Accept"), "text/html,application/json,text/plain,*/*");
}

TEST_F(WebFetch, OtherBodiesAreCutInTheMiddle) {
    const std::string body = letters(50000);
    const std::string cut = body.substr(0, 10000) + "\n[... 30000 characters cut ...]\n" + body.substr(40000);
    EXPECT_EQ(fetch_url_text(url("/data.json")).at("text"), cut);
    EXPECT_EQ(fetch_url_text(url("/plain.txt")).at("text"), cut);
    // Not HTML: returned as it is, tags and entities included.
    EXPECT_EQ(fetch_url_text(url("/short.txt")).at("text"), "just <b>this</b> &amp; that");
    // A mention of <!DOCTYPE anywhere makes the body HTML, whatever its content type.
    EXPECT_EQ(fetch_url_text(url("/code.txt")).at("text"), html_to_text("To start a page, write <!DOCTYPE html> then <b>tags</b>.", 20000));
    // The body is read up to 3 MiB only; the cut then shows the last bytes before the cap.
    const std::string huge = letters(4000000);
    EXPECT_EQ(fetch_url_text(url("/huge.bin")).at("text"),
              huge.substr(0, 10000) + "\n[... " + std::to_string(fetch_cap - 20000) + " characters cut ...]\n" +
                  huge.substr(fetch_cap - 10000, 10000));
}

TEST_F(WebFetch, FailuresAreTheClientsTexts) {
    struct row {
        nlohmann::json arguments;
        std::string error;
    };
    const std::string scheme = "the address must start with http:// or https://";
    const row rows[] = {
        {{{"url", url("/chain/10")}}, "too many redirects"},
        {{{"url", url("/missing")}}, "HTTP 404, not found: " + url("/missing")},
        {{{"url", url("/broken")}}, "HTTP 500 from 127.0.0.1: it broke"},
        {{{"url", "HTTP://x"}}, scheme},
        {{{"url", "Https://127.0.0.1/"}}, scheme},
        {{{"url", "ftp://127.0.0.1/"}}, scheme},
        {{{"url", "127.0.0.1/page"}}, scheme},
        {{{"url", ""}}, scheme},
        {{{"url", "http://"}}, "bad URL http://"},
        {nlohmann::json::object(), "missing \"url\""},
        {{{"url", 7}}, "missing \"url\""},
        {nlohmann::json::array(), "missing \"url\""},
    };
    for (const row& r : rows) EXPECT_EQ(error_of(r.arguments), r.error) << r.arguments.dump();
    // Nine redirects are followed.
    EXPECT_EQ(fetch_url_text(url("/chain/9")).at("text"), "end of the chain");
}

// Pages that would overflow the stack of a regular-expression engine: the text comes back, cut as usual.
TEST_F(WebFetch, LongScriptAndLongWhitespace) {
    EXPECT_EQ(fetch_url_text(url("/big-script.html")).at("text"), " before\n\nafter\n\n");
    EXPECT_EQ(visible(fetch_url_text(url("/blank.html")).at("text")), visible(" start \n\nend "));
}
