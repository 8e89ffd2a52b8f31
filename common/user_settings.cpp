#include "common/user_settings.h"

#include <nlohmann/json.hpp>

namespace {

// The text as a JSON object; an empty object for anything else.
nlohmann::json object_of(const std::string& text) {
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) return nlohmann::json::object();
    return doc;
}

}  // namespace

std::string read_user_setting(const std::filesystem::path& file, const std::string& name) {
    try {
        const nlohmann::json doc = object_of(read_settings_text(file));
        auto it = doc.find(name);
        if (it != doc.end() && it->is_string()) return it->get<std::string>();
    } catch (const std::exception&) {
    }
    return "";
}

void write_user_setting(const std::filesystem::path& file, const std::string& name, const std::string& value) {
    replace_settings_text(file, [&](const std::string& current) {
        nlohmann::json doc = object_of(current);
        doc[name] = value;
        return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    });
}
