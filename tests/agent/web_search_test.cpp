// web_search against stub search services on 127.0.0.1: a page shaped like DuckDuckGo's lite results and JSON
// shaped like the Brave Search API's, both chosen by the query text. Two servers, so that a redirect can lead to
// another host name (localhost) and to another port.
#include "agent/web_search.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/stub_web_server.h"
#include "agent/web_tools.h"
#include "common/text_helpers.h"

namespace {

constexpr char brave_key[] = "k-123";

// One link row of the lite page, with the snippet row that follows it (none when snippet is empty).
struct lite_row {
    std::string href;    // as written in the page (entities included)
    std::string title;   // inner HTML
    std::string snippet; // inner HTML
};

std::string lite_page(const std::vector<lite_row>& rows) {
    std::string page =
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\">\n<html><head><title>q at DuckDuckGo"
        "</title></head>\n<body><form action=\"/lite/\" method=\"post\"><input name=\"q\" value=\"q\"></form>\n"
        "<table border=\"0\">\n";
    int number = 1;
    for (const lite_row& r : rows) {
        page += "<tr><td valign=\"top\">" + std::to_string(number++) + ".&nbsp;</td>\n<td><a rel=\"nofollow\" href=\"" +
                r.href + "\" class='result-link'>" + r.title + "</a></td></tr>\n";
        if (!r.snippet.empty()) {
            page += "<tr><td>&nbsp;&nbsp;&nbsp;</td>\n<td class='result-snippet'>" + r.snippet + "</td></tr>\n";
        }
        page += "<tr><td>&nbsp;&nbsp;&nbsp;</td><td><span class='link-text'>example.com</span></td></tr>\n";
    }
    return page + "</table></body></html>\n";
}

std::string ad_href(int n) {
    return "https://duckduckgo.com/y.js?ad_domain=shop" + std::to_string(n) + ".example&amp;ad_provider=x&amp;u3=" +
           "https%3A%2F%2Fwww.bing.com%2Faclick";
}

lite_row organic(int n) {
    return {"//duckduckgo.com/l/?uddg=https%3A%2F%2Fsite" + std::to_string(n) +
                ".example%2Fpath%3Fa%3D1%26b%3Dx+y&amp;rut=abc" + std::to_string(n),
            "Result <b>" + std::to_string(n) + "</b>", "About <b>result " + std::to_string(n) + "</b> &amp; more"};
}

// Two advertisements first, one among the organic results, twelve organic results in all; the first organic
// results show the href forms: a wrapped address with further parameters, one with none after it, a
// scheme-relative one and a plain one.
std::vector<lite_row> main_rows() {
    std::vector<lite_row> rows = {{ad_href(1), "Ad <b>one</b>", "Buy one"}, {ad_href(2), "Ad two", "Buy two"}};
    for (int n = 1; n <= 12; ++n) {
        if (n == 4) rows.push_back({ad_href(3), "Ad three", "Buy three"});
        lite_row r = organic(n);
        if (n == 2) r.href = "/l/?kh=-1&amp;uddg=https%3A%2F%2Fsite2.example%2Fend";
        if (n == 3) r.href = "//site3.example/plain";
        if (n == 5) r.href = "https://site5.example/x?y=1&amp;z=2";
        rows.push_back(r);
    }
    return rows;
}

std::string brave_reply() {
    nlohmann::json results = nlohmann::json::array();
    results.push_back({{"title", "<strong>Fish</strong> &amp; chips"},
                       {"url", "https://a.example/1"},
                       {"description", "Best <strong>fish</strong> &amp; chips in town"},
                       {"age", "2 days"}});
    results.push_back({{"title", "No description"}, {"url", "https://b.example/2"}});
    results.push_back({{"url", "https://c.example/3"}, {"description", std::string(1000, 'd')}});
    for (int i = 4; i <= 9; ++i) results.push_back({{"title", "T" + std::to_string(i)}, {"url", "u"}});
    return nlohmann::json({{"type", "search"}, {"web", {{"type", "search"}, {"results", results}}}}).dump();
}

class WebSearch : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN);
        for (const char* proxy : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            unsetenv(proxy);
        }
        main_ = new stub_web_server();
        other_ = new stub_web_server();
        // The tool reads the services' addresses from the environment: set them before any thread runs.
        setenv("MIVRA_BRAVE_SEARCH_URL", main_->url("/").c_str(), 1);
        setenv("MIVRA_DUCKDUCKGO_URL", main_->url("").c_str(), 1);
        add_routes(*main_);
        add_routes(*other_);
        main_->start();
        other_->start();
    }
    static void TearDownTestSuite() {
        delete main_;
        delete other_;
        main_ = other_ = nullptr;
    }
    void SetUp() override {
        main_->forget_requests();
        other_->forget_requests();
    }

    static void add_routes(stub_web_server& server) {
        server.routes().Get("/lite/", [](const httplib::Request& req, httplib::Response& res) {
            const std::string q = req.get_param_value("q");
            if (q == "busy") {
                res.status = 503;
                return res.set_content("busy", "text/plain");
            }
            if (q == "ads only") {
                return res.set_content(lite_page({{ad_href(1), "Ad", "a"}, {ad_href(2), "Ad", "b"}}), "text/html");
            }
            if (q == "pairing") {
                // The second organic result has no snippet row: results take snippets by their link's number.
                return res.set_content(lite_page({{"//one.example/", "One", "s0"},
                                                  {ad_href(1), "Ad", "s1"},
                                                  {"//two.example/", "Two", ""},
                                                  {"//three.example/", "Three", "s2"}}),
                                       "text/html");
            }
            if (q == "empty page") return res.set_content("<html><body>No results.</body></html>", "text/html");
            res.set_content(lite_page(main_rows()), "text/html");
        });
        server.routes().Get("/res/v1/web/search", [](const httplib::Request& req, httplib::Response& res) {
            const std::string q = req.get_param_value("q");
            const std::string landed = "/res/v1/web/search?count=8&q=landed";
            if (q == "elsewhere") return res.set_redirect(main_->url(landed, "localhost"), 302);
            if (q == "other port") return res.set_redirect(other_->url(landed), 307);
            if (q == "same origin") return res.set_redirect(landed, 301);
            if (q == "refused") {
                res.status = 401;
                return res.set_content("{\"error\":\"bad key\"}", "application/json");
            }
            if (q == "not json") return res.set_content("<html>maintenance</html>", "text/html");
            if (q == "odd results") return res.set_content("{\"web\":{\"results\":{\"a\":1}}}", "application/json");
            if (q == "odd title") {
                return res.set_content("{\"web\":{\"results\":[{\"title\":5}]}}", "application/json");
            }
            if (q == "no web") return res.set_content("{\"query\":{}}", "application/json");
            res.set_content(brave_reply(), "application/json");
        });
    }

    static web_search_services brave() { return web_search_services_from_environment(brave_key); }
    static web_search_services duckduckgo() { return web_search_services_from_environment(""); }

    static std::string error_of(const std::string& query, const web_search_services& services) {
        try {
            run_web_search(query, services);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no error";
    }

    static size_t lite_requests() {
        size_t count = 0;
        for (stub_web_server* server : {main_, other_}) {
            for (const auto& r : server->requests()) count += r.target.rfind("/lite/", 0) == 0;
        }
        return count;
    }

    static inline stub_web_server* main_ = nullptr;
    static inline stub_web_server* other_ = nullptr;
};

} // namespace

TEST_F(WebSearch, DuckDuckGoLitePage) {
    const nlohmann::json result = web_search_tool({{"query", "fish & chips+"}}, "");
    // The request: the lite page's path, the query form-encoded, HTML asked for.
    const auto seen = main_->requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/lite/?q=fish+%26+chips%2B");
    EXPECT_EQ(header_of(seen[0], "Accept"), "text/html");

    // Links 0 and 1 and 4 are advertisements: they are skipped but use up their snippets' numbers.
    auto expected = [](int n, const std::string& url) {
        return nlohmann::json({{"title", "Result " + std::to_string(n) + " "},
                               {"url", url},
                               {"snippet", "About result " + std::to_string(n) + " & more"}});
    };
    auto site = [](int n) { return "https://site" + std::to_string(n) + ".example/path?a=1&b=x y"; };
    nlohmann::json results = nlohmann::json::array({
        expected(1, site(1)),
        expected(2, "https://site2.example/end"),
        expected(3, "https://site3.example/plain"),
        expected(4, site(4)),
        expected(5, "https://site5.example/x?y=1&z=2"),
        expected(6, site(6)),
        expected(7, site(7)),
        expected(8, site(8)),
    });
    EXPECT_EQ(result, nlohmann::json({{"engine", "duckduckgo"}, {"results", results}}));
}

TEST_F(WebSearch, DuckDuckGoPairsSnippetsByLinkNumber) {
    EXPECT_EQ(run_web_search("pairing", duckduckgo()),
              nlohmann::json({{"engine", "duckduckgo"},
                              {"results",
                               {{{"title", "One"}, {"url", "https://one.example/"}, {"snippet", "s0"}},
                                {{"title", "Two"}, {"url", "https://two.example/"}, {"snippet", "s2"}},
                                {{"title", "Three"}, {"url", "https://three.example/"}, {"snippet", ""}}}}}));
}

TEST_F(WebSearch, DuckDuckGoWithoutUsableResults) {
    const nlohmann::json none = {
        {"engine", "duckduckgo"},
        {"note", "no results (the free search may be busy; a Brave Search key in Settings makes search reliable)"},
        {"results", nlohmann::json::array()}};
    EXPECT_EQ(run_web_search("ads only", duckduckgo()), none);
    EXPECT_EQ(run_web_search("empty page", duckduckgo()), none);
    EXPECT_EQ(error_of("busy", duckduckgo()), "search failed: HTTP 503 from 127.0.0.1: busy");
}

TEST_F(WebSearch, BraveWithTheKey) {
    const nlohmann::json result = web_search_tool({{"query", "fish & chips"}}, brave_key);
    const auto seen = main_->requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/res/v1/web/search?count=8&q=fish+%26+chips");
    EXPECT_EQ(header_of(seen[0], "Accept"), "application/json");
    EXPECT_EQ(header_of(seen[0], "X-Subscription-Token"), brave_key);

    ASSERT_EQ(result.at("engine"), "brave");
    EXPECT_FALSE(result.contains("note"));
    const nlohmann::json& results = result.at("results");
    ASSERT_EQ(results.size(), 9u); // count=8 is asked, but whatever comes back is kept
    // The title keeps its markup; only the description is cleaned, and cut to 400 bytes.
    EXPECT_EQ(results[0], nlohmann::json({{"title", "<strong>Fish</strong> &amp; chips"},
                                          {"url", "https://a.example/1"},
                                          {"snippet", "Best fish & chips in town"}}));
    EXPECT_EQ(results[1], nlohmann::json({{"title", "No description"}, {"url", "https://b.example/2"}, {"snippet", ""}}));
    EXPECT_EQ(results[2], nlohmann::json({{"title", ""},
                                          {"url", "https://c.example/3"},
                                          {"snippet", std::string(400, 'd') + "\n[... page cut at 400 characters]"}}));
    EXPECT_EQ(run_web_search("no web", brave()), nlohmann::json({{"engine", "brave"}, {"results", nlohmann::json::array()}}));
    EXPECT_EQ(lite_requests(), 0u);
}

TEST_F(WebSearch, BraveFailuresAreErrorsNeverADuckDuckGoSearch) {
    EXPECT_EQ(error_of("refused", brave()), "Brave Search: HTTP 401 from 127.0.0.1: {\"error\":\"bad key\"}");
    EXPECT_THROW(run_web_search("not json", brave()), nlohmann::json::parse_error);
    EXPECT_THROW(run_web_search("odd results", brave()), nlohmann::json::type_error);
    EXPECT_THROW(run_web_search("odd title", brave()), nlohmann::json::type_error);
    EXPECT_EQ(lite_requests(), 0u);
}

// The key goes to the API's own scheme, host and port only: a redirect to another host or port loses it.
TEST_F(WebSearch, BraveKeyIsNotSentAfterARedirectToAnotherHost) {
    struct row {
        const char* query;
        stub_web_server* landing;
        bool key_sent;
    };
    const row rows[] = {{"elsewhere", main_, false}, {"other port", other_, false}, {"same origin", main_, true}};
    for (const row& r : rows) {
        main_->forget_requests();
        other_->forget_requests();
        const nlohmann::json result = run_web_search(r.query, brave());
        EXPECT_EQ(result.at("results").size(), 9u) << r.query;
        const auto first = main_->requests().at(0);
        EXPECT_EQ(header_of(first, "X-Subscription-Token"), brave_key) << r.query;
        const auto last = r.landing->requests().back();
        EXPECT_EQ(last.target, "/res/v1/web/search?count=8&q=landed") << r.query;
        bool present = true;
        header_of(last, "X-Subscription-Token", &present);
        EXPECT_EQ(present, r.key_sent) << r.query;
        EXPECT_EQ(header_of(last, "Accept"), "application/json") << r.query;
    }
}

TEST_F(WebSearch, ToolArguments) {
    for (const nlohmann::json& arguments : {nlohmann::json::object(), nlohmann::json({{"query", 1}}),
                                            nlohmann::json({{"q", "x"}}), nlohmann::json("x")}) {
        try {
            web_search_tool(arguments, "");
            ADD_FAILURE() << arguments.dump();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "missing \"query\"");
        }
    }
    EXPECT_TRUE(main_->requests().empty());
}

TEST(WebSearchServices, AddressesFromTheEnvironment) {
    unsetenv("MIVRA_BRAVE_SEARCH_URL");
    setenv("MIVRA_DUCKDUCKGO_URL", "", 1);
    web_search_services services = web_search_services_from_environment("key");
    EXPECT_EQ(services.brave_api_key, "key");
    EXPECT_EQ(services.brave_url, "https://api.search.brave.com");
    EXPECT_EQ(services.duckduckgo_url, "https://lite.duckduckgo.com");
    setenv("MIVRA_BRAVE_SEARCH_URL", "http://127.0.0.1:9/", 1);
    setenv("MIVRA_DUCKDUCKGO_URL", "http://localhost:9//", 1);
    services = web_search_services_from_environment("");
    EXPECT_EQ(services.brave_url, "http://127.0.0.1:9");
    EXPECT_EQ(services.duckduckgo_url, "http://localhost:9");
}
