#include "connectors/skill_github.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "common/file_helpers.h"
#include "common/http_client.h"
#include "common/text_helpers.h"

using nlohmann::json;

namespace {

constexpr size_t max_tree_bytes = 33554432;
constexpr auto tree_cache_life = std::chrono::seconds(600);

std::string prefix_from_environment(const char* name, const char* fallback) {
    std::string prefix = env_path_or_default(name, fallback);
    if (!prefix.ends_with('/')) prefix.push_back('/');
    return prefix;
}

struct cached_tree {
    std::chrono::steady_clock::time_point stored;
    json tree;
    bool truncated = false;
};

std::mutex tree_cache_mutex;
std::map<std::string, cached_tree> tree_cache;  // guarded by tree_cache_mutex; entries are replaced, never removed

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_trailing_blank(char c) {
    return c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::string github_web_prefix() { return prefix_from_environment("MIVRA_GITHUB_WEB", "https://github.com/"); }
std::string github_raw_prefix() {
    return prefix_from_environment("MIVRA_GITHUB_RAW", "https://raw.githubusercontent.com/");
}
std::string github_api_prefix() { return prefix_from_environment("MIVRA_GITHUB_API", "https://api.github.com/"); }

std::string percent_decode_path(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

github_link parse_github_skill_link(std::string link) {
    while (!link.empty() && is_trailing_blank(link.back())) link.pop_back();
    link.erase(0, std::min(link.find_first_not_of(" \t"), link.size()));

    const std::string web = github_web_prefix();
    const std::string raw = github_raw_prefix();
    std::vector<std::string> parts;
    bool is_raw = false;
    if (link.starts_with(web)) {
        split_slash_nonempty(std::string_view(link).substr(web.size()), parts);
    } else if (link.starts_with(raw)) {
        split_slash_nonempty(std::string_view(link).substr(raw.size()), parts);
        is_raw = true;
    } else if (link.find("://") != std::string::npos) {
        throw std::runtime_error("give a GitHub link (" + web + "owner/repo/tree/main/path-to-skill)");
    } else {
        split_slash_nonempty(link, parts);
    }
    if (parts.size() < 2) throw std::runtime_error("that is not a GitHub repository link");

    github_link result;
    result.owner = parts[0];
    result.repo = parts[1];
    if (result.repo.size() > 4 && result.repo.ends_with(".git")) result.repo.resize(result.repo.size() - 4);
    size_t first_path_part = 2;
    if (is_raw && parts.size() >= 3) {
        result.branch = parts[2];
        first_path_part = 3;
    } else if (parts.size() >= 4 && (parts[2] == "tree" || parts[2] == "blob")) {
        result.branch = parts[3];
        first_path_part = 4;
    }
    for (size_t i = first_path_part; i < parts.size(); ++i) {
        if (!result.path.empty()) result.path.push_back('/');
        result.path += percent_decode_path(parts[i]);
    }
    if (result.path == "SKILL.md") {
        result.path.clear();
    } else if (result.path.size() >= 10 && result.path.ends_with("/SKILL.md")) {
        result.path.resize(result.path.size() - 9);
    }
    return result;
}

json list_github_tree(const github_link& link, bool* truncated) {
    const std::string api = github_api_prefix();
    // The API's address belongs to the key: a listing of one GitHub never answers for another.
    const std::string key = api + link.owner + "/" + link.repo + "@" + link.branch;
    {
        std::lock_guard<std::mutex> lock(tree_cache_mutex);
        const auto it = tree_cache.find(key);
        if (it != tree_cache.end() && std::chrono::steady_clock::now() - it->second.stored < tree_cache_life) {
            if (truncated != nullptr) *truncated = it->second.truncated;
            return it->second.tree;
        }
    }
    const std::string url = api + "repos/" + encode_url_path(link.owner) + "/" + encode_url_path(link.repo) +
                            "/git/trees/" + encode_url_path(link.branch) + "?recursive=1";
    std::string body, error;
    if (!http_get_capped(url, "Accept: application/vnd.github+json\r\n", body, error, max_tree_bytes)) {
        throw std::runtime_error("GitHub: " + error);
    }
    const json answer = json::parse(body);
    cached_tree entry{std::chrono::steady_clock::now(), answer.value("tree", json::array()),
                      answer.contains("truncated") && answer.at("truncated") == true};
    if (truncated != nullptr) *truncated = entry.truncated;
    json tree = entry.tree;
    {
        std::lock_guard<std::mutex> lock(tree_cache_mutex);
        tree_cache[key] = std::move(entry);
    }
    return tree;
}
