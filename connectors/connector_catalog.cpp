#include "connectors/connector_catalog.h"

#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/file_helpers.h"
#include "common/http_client.h"

namespace {

constexpr const char* catalog_format = "mivra-connectors-1";
constexpr const char* catalog_path = "/datasets/Pellbrook1/mivra-catalog/resolve/main/connectors.json";
constexpr auto cache_lifetime = std::chrono::seconds(3600);

connector_catalog_cache& process_catalog_cache() {
    static connector_catalog_cache cache;
    return cache;
}

// The text of the source, or nothing when it cannot be had.
bool read_source_text(const std::string& source, std::string& text) {
    if (source.rfind("https://", 0) == 0) {
        std::string error;
        return http_get_text(source, text, error);
    }
    text = read_file_text(std::filesystem::path(source));
    return true;
}

std::string trim_blanks(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string connector_catalog_source() {
    std::string source = env_path_or_default("MIVRA_CONNECTORS", "");
    if (!source.empty()) return source;
    // The same Hub as the downloads use.
    std::string endpoint = env_path_or_default("HF_ENDPOINT", "https://huggingface.co");
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
    return endpoint + catalog_path;
}

nlohmann::json read_connector_catalog(const std::string& source) {
    try {
        std::string text;
        if (read_source_text(source, text)) {
            if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
            nlohmann::json document = nlohmann::json::parse(text);
            if (document.is_object() && json_string_or_empty(document, "format") == catalog_format &&
                document.contains("connectors"))
                return document;
        }
    } catch (const std::exception&) {
        // Any failure of the source gives the built-in catalog.
    }
    return nlohmann::json::parse(default_connector_catalog_text);
}

nlohmann::json load_connector_catalog(connector_catalog_cache& cache) {
    std::lock_guard<std::mutex> hold(cache.mutex);
    auto now = std::chrono::steady_clock::now();
    if (!cache.document.is_null() && now - cache.stored_at < cache_lifetime) return cache.document;
    cache.document = read_connector_catalog(connector_catalog_source());
    cache.stored_at = std::chrono::steady_clock::now();
    return cache.document;
}

nlohmann::json load_connector_catalog() { return load_connector_catalog(process_catalog_cache()); }

nlohmann::json find_catalog_connector(const nlohmann::json& catalog, const std::string& id) {
    auto connectors = catalog.find("connectors");
    if (connectors != catalog.end() && connectors->is_structured()) {
        for (const auto& entry : *connectors) {
            if (entry.value("id", std::string()) == id) return entry;
        }
    }
    throw std::runtime_error("no connector \"" + id + "\" in the list; use find_connectors to see what there is");
}

nlohmann::json find_catalog_connector(const std::string& id) {
    return find_catalog_connector(load_connector_catalog(), id);
}

std::string fill_catalog_fields(const nlohmann::json& entry, const nlohmann::json& values, const std::string& text) {
    std::string result = text;
    nlohmann::json fields = entry.value("fields", nlohmann::json::array());
    for (const auto& field : fields) {
        std::string key = field.value("key", std::string());
        std::string placeholder = "{" + key + "}";
        if (result.find(placeholder) == std::string::npos) continue;

        std::string label = field.value("label", key);
        std::string value = trim_blanks(json_string_or_empty(values, key));
        if (value.empty()) throw std::runtime_error("needs " + label + " (\"" + key + "\")");
        if (field.value("kind", std::string()) == "folder") {
            std::error_code error;
            if (!std::filesystem::is_directory(std::filesystem::path(value), error))
                throw std::runtime_error(label + ": no such folder: " + value);
        }
        for (size_t at = result.find(placeholder); at != std::string::npos;
             at = result.find(placeholder, at + value.size())) {
            result.replace(at, placeholder.size(), value);
        }
    }
    return result;
}

nlohmann::json connector_from_catalog(const nlohmann::json& entry, const nlohmann::json& values) {
    nlohmann::json config = {{"command", entry.at("command")},
                             {"args", nlohmann::json::array()},
                             {"market", entry.value("id", std::string())}};
    for (const auto& arg : entry.value("args", nlohmann::json::array())) {
        config["args"].push_back(fill_catalog_fields(entry, values, arg.get<std::string>()));
    }
    auto env = entry.find("env");
    if (env != entry.end()) {
        for (const auto& [name, value] : env->get_ref<const nlohmann::json::object_t&>()) {
            config["env"][name] = fill_catalog_fields(entry, values, value.get<std::string>());
        }
    }
    return config;
}
