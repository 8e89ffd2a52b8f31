#include "agent/web_search.h"

#include <stdexcept>

#include "agent/html_text.h"
#include "agent/search_page_scan.h"
#include "common/file_helpers.h"
#include "common/http_client.h"
#include "common/text_helpers.h"

namespace {

constexpr size_t search_body_limit = 2 * 1024 * 1024;
constexpr size_t snippet_limit = 400;
constexpr size_t title_limit = 200;
constexpr size_t duckduckgo_result_limit = 8;
// The lite page's advertisement links go through this redirect.
constexpr char advertisement_redirect[] = "duckduckgo.com/y.js";

std::string base_url(const char* variable, const char* fallback) {
    std::string url = env_path_or_default(variable, fallback);
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

nlohmann::json search_brave(const std::string& query, const web_search_services& services) {
    const std::string url = services.brave_url + "/res/v1/web/search?count=8&q=" + query_encode(query);
    std::string body, error;
    // The key goes only to the API's own host, never along a redirect to another one.
    if (!http_get_capped(url, "Accept: application/json\r\n", body, error, search_body_limit,
                         "X-Subscription-Token: " + services.brave_api_key + "\r\n")) {
        throw std::runtime_error("Brave Search: " + error);
    }
    const nlohmann::json reply = nlohmann::json::parse(body);
    const nlohmann::json web = reply.value("web", nlohmann::json::object());
    const nlohmann::json found = web.value("results", nlohmann::json::array());
    nlohmann::json results = nlohmann::json::array();
    for (const nlohmann::json& item : found.get_ref<const nlohmann::json::array_t&>()) {
        results.push_back({{"title", item.value("title", "")},
                           {"url", item.value("url", "")},
                           {"snippet", html_to_text(item.value("description", ""), snippet_limit)}});
    }
    return {{"engine", "brave"}, {"results", std::move(results)}};
}

// The address a result link stands for: entities decoded, DuckDuckGo's redirect ("uddg=") unwrapped, a
// scheme-relative address made https.
std::string unwrap_result_link(std::string_view href_html) {
    std::string href = decode_html_entities(href_html);
    if (const size_t wrapped = href.find("uddg="); wrapped != std::string::npos) {
        const size_t start = wrapped + 5;
        const size_t end = href.find('&', start);
        href = percent_decode(std::string_view(href).substr(start, end == std::string::npos ? end : end - start));
    }
    if (href.compare(0, 2, "//") == 0) href = "https:" + href;
    return href;
}

nlohmann::json search_duckduckgo(const std::string& query, const web_search_services& services) {
    const std::string url = services.duckduckgo_url + "/lite/?q=" + query_encode(query);
    std::string page, error;
    if (!http_get_capped(url, "Accept: text/html\r\n", page, error, search_body_limit)) {
        throw std::runtime_error("search failed: " + error);
    }
    std::vector<std::string> snippets;
    for (const page_match& m : find_result_snippets(page)) snippets.push_back(html_to_text(m.first, snippet_limit));

    // The n-th link goes with the n-th snippet, also when a link is skipped as an advertisement.
    nlohmann::json results = nlohmann::json::array();
    const std::vector<page_match> links = find_result_links(page);
    for (size_t n = 0; n < links.size() && results.size() < duckduckgo_result_limit; ++n) {
        const std::string href = unwrap_result_link(links[n].first);
        if (href.find(advertisement_redirect) != std::string::npos) continue;
        results.push_back({{"title", html_to_text(links[n].second, title_limit)},
                           {"url", href},
                           {"snippet", n < snippets.size() ? snippets[n] : std::string()}});
    }
    if (results.empty()) {
        return {{"engine", "duckduckgo"},
                {"note", "no results (the free search may be busy; a Brave Search key in Settings makes search "
                         "reliable)"},
                {"results", std::move(results)}};
    }
    return {{"engine", "duckduckgo"}, {"results", std::move(results)}};
}

} // namespace

web_search_services web_search_services_from_environment(const std::string& brave_api_key) {
    return {brave_api_key, base_url("MIVRA_BRAVE_SEARCH_URL", "https://api.search.brave.com"),
            base_url("MIVRA_DUCKDUCKGO_URL", "https://lite.duckduckgo.com")};
}

nlohmann::json run_web_search(const std::string& query, const web_search_services& services) {
    if (!services.brave_api_key.empty()) return search_brave(query, services);
    return search_duckduckgo(query, services);
}
