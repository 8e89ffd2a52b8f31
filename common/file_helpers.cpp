#include "common/file_helpers.h"

#include <cstdlib>
#include <stdexcept>

#include "platform/files.h"
#include "platform/folders.h"

std::filesystem::path program_folder() { return executable_path().parent_path(); }

nlohmann::json read_json_file(const std::filesystem::path& path) {
    std::string text;
    try {
        const file_descriptor fd = open_read_file(path.string());
        if (!fd.valid()) return nullptr;
        read_rest(fd.get(), text, static_cast<size_t>(-1));
    } catch (...) {
        return nullptr;
    }
    try {
        return nlohmann::json::parse(text, nullptr, true, false);
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::string read_file_text(const std::filesystem::path& path, size_t max_bytes) {
    const file_descriptor fd = open_read_file(path.string());
    if (!fd.valid()) throw std::runtime_error("cannot read " + path.string());
    std::string text;
    if (max_bytes > 0) read_rest(fd.get(), text, max_bytes);
    if (text.size() > max_bytes) text.resize(max_bytes);
    return text;
}

std::string env_path_or_default(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    if (value && value[0]) return value;
    return fallback;
}

std::string json_string_or_empty(const nlohmann::json& value, const std::string& name) {
    if (!value.is_object()) return "";
    const auto it = value.find(name);
    if (it == value.end() || !it->is_string()) return "";
    return it->get<std::string>();
}

std::string json_string_required(const nlohmann::json& value, const std::string& name) {
    if (value.is_object()) {
        const auto it = value.find(name);
        if (it != value.end() && it->is_string()) return it->get<std::string>();
    }
    throw std::runtime_error("missing \"" + name + "\"");
}
