#include "agent/static_files.h"

#include <map>

#include "common/file_helpers.h"
#include "common/text_helpers.h"

namespace fs = std::filesystem;

namespace {

// A request that tries to leave the root gets nothing to read, not even a "not found".
void refuse_path(httplib::Response& res) {
    res.status = 404;
    res.body.clear();
}

// True when `full` lies strictly below `base` (both canonical, `base` without a trailing separator).
bool lies_below(const fs::path& base, const fs::path& full) {
    const fs::path rel = full.lexically_relative(base);
    return !rel.empty() && rel != "." && *rel.begin() != "..";
}

}  // namespace

const std::string& mime_type_for(const std::string& extension) {
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"},
        {".htm", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".webp", "image/webp"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".md", "text/plain; charset=utf-8"},
        {".woff2", "font/woff2"},
        {".woff", "font/woff"},
        {".mp4", "video/mp4"},
        {".wasm", "application/wasm"},
    };
    static const std::string other = "application/octet-stream";
    std::string key = extension;
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    const auto it = types.find(key);
    return it == types.end() ? other : it->second;
}

void serve_file_below(const fs::path& root, const std::string& relative, httplib::Response& res) {
    // A NUL would cut the path short at the system call: "index.html%00.txt" must not become index.html.
    if (root.empty() || contains_nul(relative)) return refuse_path(res);
    std::error_code error;
    fs::path base = fs::weakly_canonical(root, error);
    if (error) return refuse_path(res);
    if (!base.has_filename() && base.has_relative_path()) base = base.parent_path();
    // An absolute `relative` replaces the root, as path joining does; the check below then refuses it.
    fs::path full = fs::weakly_canonical(base / fs::path(relative), error);
    if (error || !lies_below(base, full)) return refuse_path(res);
    if (fs::is_directory(full, error)) {
        full = fs::weakly_canonical(full / "index.html", error);
        if (error || !lies_below(base, full)) return refuse_path(res);
    }
    if (!fs::is_regular_file(full, error)) {
        res.status = 404;
        res.set_content("not found", "text/plain");
        return;
    }
    res.status = 200;
    res.set_content(read_file_text(full), mime_type_for(full.extension().string()));
    res.set_header("Cache-Control", "no-cache");
}
