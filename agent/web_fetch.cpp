#include "agent/web_fetch.h"

#include <stdexcept>

#include "agent/html_text.h"
#include "common/http_client.h"
#include "common/text_helpers.h"

namespace {

constexpr size_t fetch_body_limit = 3 * 1024 * 1024;
constexpr size_t text_limit = 20000;

bool looks_like_html(const std::string& body) {
    for (const char* mark : {"<html", "<HTML", "<!DOCTYPE", "<!doctype"}) {
        if (body.find(mark) != std::string::npos) return true;
    }
    return false;
}

} // namespace

nlohmann::json fetch_url_text(const std::string& url) {
    if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) {
        throw std::runtime_error("the address must start with http:// or https://");
    }
    std::string body, error;
    if (!http_get_capped(url, "Accept: text/html,application/json,text/plain,*/*\r\n", body, error,
                         fetch_body_limit)) {
        throw std::runtime_error(error);
    }
    std::string text = looks_like_html(body) ? html_to_text(body, text_limit) : cut_middle(body, text_limit);
    return {{"text", std::move(text)}, {"url", url}};
}
