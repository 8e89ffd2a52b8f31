#include "agent/tool_search.h"

#include <sstream>

namespace {

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

bool matches_any_word(const nlohmann::json& entry, const std::string& query) {
    if (query.empty()) return true;
    const std::string text = ascii_lower(entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    std::istringstream words(ascii_lower(query));
    std::string word;
    while (words >> word) {
        if (text.find(word) != std::string::npos) return true;
    }
    return false;
}
