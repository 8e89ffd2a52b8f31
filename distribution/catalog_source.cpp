#include "distribution/catalog_source.h"

#include <exception>

#include "common/file_helpers.h"

const char* const catalog_hub_host = "huggingface.co";

bool fetch_catalog_text(const std::string& url, std::string& body, std::string& error) {
    error = "no HTTP client";
    return false;
}

bool read_catalog_file(const std::string& path, std::string& body) {
    try {
        body = read_file_text(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
