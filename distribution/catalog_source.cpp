#include "distribution/catalog_source.h"

#include <exception>

#include "common/file_helpers.h"
#include "common/http_client.h"

std::string catalog_hub_endpoint() {
    // The same rule as the HTTP client's, so the catalog lives on whatever Hub the downloads use.
    std::string endpoint = env_path_or_default("HF_ENDPOINT", "https://huggingface.co");
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
    return endpoint;
}

bool fetch_catalog_text(const std::string& url, std::string& body, std::string& error) {
    return http_get_text(url, body, error);
}

bool read_catalog_file(const std::string& path, std::string& body) {
    try {
        body = read_file_text(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
