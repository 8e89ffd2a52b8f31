#include "desktop/desktop_entry.h"

#include <glib.h>

#include <system_error>

#include "platform/files.h"

namespace fs = std::filesystem;

std::string exec_argument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

std::string entry_string(const std::string& value) {
    std::string escaped;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == ' ' && i == 0) {
            escaped += "\\s";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

namespace {

std::string unescape_entry_string(const std::string& value) {
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const char c = value[++i];
        text += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    }
    return text;
}

}  // namespace

std::optional<std::vector<std::string>> parse_exec(const std::string& file_value) {
    const std::string line = unescape_entry_string(file_value);
    std::vector<std::string> arguments;
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (in_word) arguments.push_back(word);
            word.clear();
            in_word = false;
        } else if (c == '"') {
            if (in_word) return std::nullopt;  // a quote must open an argument
            for (++i;; ++i) {
                if (i >= line.size()) return std::nullopt;
                if (line[i] == '"') break;
                if (line[i] == '\\') {
                    if (++i >= line.size()) return std::nullopt;
                } else if (line[i] == '%') {
                    if (++i >= line.size()) return std::nullopt;
                    if (line[i] != '%') continue;  // a field code: no text of its own
                }
                word += line[i];
            }
            if (i + 1 < line.size() && line[i + 1] != ' ' && line[i + 1] != '\t') return std::nullopt;
            in_word = true;
        } else if (c == '%') {
            if (i + 1 >= line.size()) return std::nullopt;
            if (line[++i] == '%') {
                word += '%';
                in_word = true;
            }
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) arguments.push_back(word);
    return arguments;
}

std::optional<std::string> entry_value(const std::string& file_text, const std::string& key) {
    GKeyFile* file = g_key_file_new();
    std::optional<std::string> value;
    if (g_key_file_load_from_data(file, file_text.data(), file_text.size(), G_KEY_FILE_NONE, nullptr)) {
        if (gchar* text = g_key_file_get_value(file, "Desktop Entry", key.c_str(), nullptr)) {
            value = std::string(text);
            g_free(text);
        }
    }
    g_key_file_free(file);
    return value;
}

bool write_entry_file(const fs::path& file, const std::string& text) {
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    return write_file_atomic(file.string(), text);
}
