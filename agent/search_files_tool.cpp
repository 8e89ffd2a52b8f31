// search_files: a text or regular-expression search over the project's files.
#include <memory>
#include <optional>

#include "agent/file_tools.h"
#include "agent/project_paths.h"
#include "agent/tool_arguments.h"
#include "common/byte_regex.h"
#include "common/file_helpers.h"
#include "common/text_helpers.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t max_files = 5000;
constexpr uintmax_t max_file_bytes = 1048576;
constexpr size_t binary_probe_bytes = 8000;
constexpr size_t max_matches = 150;
constexpr size_t max_line_bytes = 200;

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string match_line(const std::string& rel, size_t number, std::string_view line) {
    std::string out = rel + ":" + std::to_string(number) + ": ";
    if (line.size() > max_line_bytes) {
        out.append(line.substr(0, max_line_bytes));
        out += "...";
    } else {
        out.append(line);
    }
    return out;
}

// The file's text when it is to be searched: not above 1 MiB, readable, and without a NUL in its first 8000 bytes.
std::optional<std::string> searchable_text(const fs::path& file) {
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    if (error || size > max_file_bytes) return std::nullopt;
    std::string text;
    try {
        // One byte more than the limit tells a file that grew since its size was read.
        text = read_file_text(file, max_file_bytes + 1);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    if (text.size() > max_file_bytes) return std::nullopt;
    if (contains_nul(std::string_view(text).substr(0, binary_probe_bytes))) return std::nullopt;
    return text;
}

bool glob_admits(const std::string& glob, const fs::path& rel) {
    return glob.empty() || glob_match(glob, rel.filename().string()) || glob_match(glob, rel.generic_string());
}

}  // namespace

json search_files_tool(const json& arguments) {
    bool inside = false;
    fs::path root;
    fs::path boundary;
    {
        project_folder_lock lock;
        root = resolve_in_project(optional_text(arguments, "path", "."), inside);
        boundary = walk_boundary(root);
    }
    const std::string query = required_text(arguments, "query");
    const std::string glob = optional_text(arguments, "glob", "");
    const bool regex = optional_flag(arguments, "regex", false);

    std::unique_ptr<byte_regex> pattern;
    const std::string lower_query = ascii_lower(query);
    if (regex) pattern = std::make_unique<byte_regex>(query, byte_regex::options{.caseless = true});

    json matches = json::array();
    size_t searched = 0;
    for (const fs::path& rel : list_project_files(root, max_files, boundary)) {
        if (!glob_admits(glob, rel)) continue;
        const std::optional<std::string> text = searchable_text(root / rel);
        if (!text) continue;
        ++searched;
        const std::string lower = regex ? std::string() : ascii_lower(*text);
        const std::string shown = rel.generic_string();
        size_t number = 0;
        for (size_t start = 0; start < text->size();) {
            size_t end = text->find('\n', start);
            if (end == std::string::npos) end = text->size();
            ++number;
            const std::string_view line = std::string_view(*text).substr(start, end - start);
            const bool hit = regex ? pattern->search(line)
                                   : std::string_view(lower).substr(start, end - start).find(lower_query) !=
                                         std::string_view::npos;
            if (hit) {
                matches.push_back(match_line(shown, number, line));
                if (matches.size() == max_matches) {
                    return {{"matches", std::move(matches)}, {"note", "stopped at 150 matches; search more narrowly"}};
                }
            }
            start = end + 1;
        }
    }
    return {{"matches", std::move(matches)}, {"files_searched", searched}};
}
