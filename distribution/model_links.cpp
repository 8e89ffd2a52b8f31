#include "distribution/model_links.h"

#include <nlohmann/json.hpp>

#include "common/file_helpers.h"
#include "platform/files.h"

namespace fs = std::filesystem;
using nlohmann::json;

model_links read_links(const fs::path& models_dir) {
    model_links links;
    const json doc = read_json_file(models_dir / model_links_name);
    if (!doc.is_object()) return links;
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        if (it->is_string()) links[it.key()] = it->get<std::string>();
    }
    return links;
}

void write_links(const fs::path& models_dir, const model_links& links) {
    json doc = json::object();
    for (const auto& [id, folder] : links) doc[id] = folder;
    const std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
    // Written as a text file is on Windows, so copies of the models folder read the same everywhere.
    std::string crlf;
    crlf.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    write_file_atomic((models_dir / model_links_name).string(), crlf);
}
