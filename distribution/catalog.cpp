#include "distribution/catalog.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>

#include "distribution/catalog_source.h"

using nlohmann::json;

json catalog_update_info;

const char* const default_catalog_text = R"({
  "format": "mivra-catalog-1",
  "models": [
    { "id": "qwen3-30b-a3b", "name": "Qwen3 30B", "repo": "Pellbrook1/qwen3-30b-a3b-mivra",
      "download_gb": 18.6, "min_ram_gb": 8, "recommended": true, "min_mivra": "0.1",
      "about": "General chat, writing and coding. Works on 8 GB PCs." }
  ]
})";

namespace {

void drop_bom(std::string& text) {
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
        text.erase(0, 3);
}

bool id_is_valid(const std::string& id) {
    if (id.empty() || id.size() > 79 || id[0] == '.') return false;
    for (unsigned char c : id) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// The fields of a dotted version: a trailing '.' gives no empty last field, the empty text no field at all.
std::vector<std::string> version_fields(const std::string& v) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < v.size()) {
        size_t dot = v.find('.', start);
        if (dot == std::string::npos) dot = v.size();
        fields.push_back(v.substr(start, dot - start));
        start = dot + 1;
    }
    return fields;
}

// The field's leading decimal integer in the manner of atol, saturated to the range of long.
long field_value(const std::string& f) {
    size_t i = 0;
    while (i < f.size() && (f[i] == ' ' || (f[i] >= '\t' && f[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < f.size() && (f[i] == '+' || f[i] == '-')) negative = f[i++] == '-';
    long value = 0;
    for (; i < f.size() && f[i] >= '0' && f[i] <= '9'; ++i) {
        int d = f[i] - '0';
        if (!negative) {
            if (value > (LONG_MAX - d) / 10) return LONG_MAX;
            value = value * 10 + d;
        } else {
            if (value < (LONG_MIN + d) / 10) return LONG_MIN;
            value = value * 10 - d;
        }
    }
    return value;
}

}  // namespace

std::string default_catalog_source() {
    return catalog_hub_endpoint() + "/datasets/Pellbrook1/mivra-catalog/resolve/main/models.json";
}

std::vector<catalog_entry> parse_catalog(std::string text) {
    drop_bom(text);
    json doc = json::parse(text);
    if (doc.value("format", std::string()) != "mivra-catalog-1") throw std::runtime_error("unknown catalog format");

    std::vector<catalog_entry> entries;
    // An object of models is walked over its member values, in name order.
    for (const json& m : doc.at("models")) {
        catalog_entry e;
        e.id = m.value("id", std::string());
        e.repo = m.value("repo", std::string());
        if (!id_is_valid(e.id) || e.repo.find('/') == std::string::npos) continue;
        e.name = m.value("name", e.id);
        e.about = m.value("about", std::string());
        e.download_gb = m.value("download_gb", 0.0);
        e.min_ram_gb = m.value("min_ram_gb", 0.0);
        e.recommended = m.value("recommended", false);
        e.min_mivra = m.value("min_mivra", std::string("0"));
        entries.push_back(std::move(e));
    }
    if (entries.empty()) throw std::runtime_error("catalog lists no models");
    return entries;
}

std::vector<catalog_entry> load_catalog_from(const std::string& source, const catalog_fetcher& fetch) {
    try {
        std::string body;
        bool ok;
        if (source.compare(0, 8, "https://") == 0) {
            std::string error;
            ok = fetch && fetch(source, body, error);
        } else {
            ok = read_catalog_file(source, body);
        }
        if (ok) {
            std::vector<catalog_entry> entries = parse_catalog(body);
            drop_bom(body);
            json doc = json::parse(body);
            // Moved, not copied: the note may come from the network and be nested arbitrarily deep.
            if (doc.is_object()) {
                auto it = doc.find("mivra");
                if (it != doc.end() && it->is_object()) catalog_update_info = std::move(*it);
            }
            return entries;
        }
    } catch (const std::exception&) {
    }
    return parse_catalog(default_catalog_text);
}

std::vector<catalog_entry> load_catalog() {
    const char* env = std::getenv("MIVRA_CATALOG");
    return load_catalog_from(env ? std::string(env) : default_catalog_source(), fetch_catalog_text);
}

int compare_versions(const std::string& a, const std::string& b) {
    std::vector<std::string> fa = version_fields(a), fb = version_fields(b);
    for (size_t i = 0; i < fa.size() || i < fb.size(); ++i) {
        long va = i < fa.size() ? field_value(fa[i]) : 0;
        long vb = i < fb.size() ? field_value(fb[i]) : 0;
        if (va != vb) return va < vb ? -1 : 1;
    }
    return 0;
}
