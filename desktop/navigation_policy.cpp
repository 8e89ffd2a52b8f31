#include "desktop/navigation_policy.h"

#include <glib.h>

namespace {

struct parsed_uri {
    GUri* uri = nullptr;
    explicit parsed_uri(const std::string& text) : uri(g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, nullptr)) {}
    ~parsed_uri() {
        if (uri) g_uri_unref(uri);
    }
    parsed_uri(const parsed_uri&) = delete;
    parsed_uri& operator=(const parsed_uri&) = delete;
};

bool scheme_is(GUri* uri, const char* scheme) { return g_ascii_strcasecmp(g_uri_get_scheme(uri), scheme) == 0; }

}  // namespace

bool stays_in_view(const std::string& uri) {
    if (uri.rfind("about:", 0) == 0) return true;
    const parsed_uri parsed(uri);
    if (!parsed.uri || !scheme_is(parsed.uri, "http")) return false;
    const char* host = g_uri_get_host(parsed.uri);
    return g_uri_get_userinfo(parsed.uri) == nullptr && host && g_strcmp0(host, "127.0.0.1") == 0 &&
           g_uri_get_port(parsed.uri) == 8080;
}

bool opens_in_browser(const std::string& uri) {
    const parsed_uri parsed(uri);
    if (!parsed.uri || !(scheme_is(parsed.uri, "http") || scheme_is(parsed.uri, "https"))) return false;
    const char* host = g_uri_get_host(parsed.uri);
    return host && host[0] != '\0';
}
