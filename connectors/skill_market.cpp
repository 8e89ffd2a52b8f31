#include "connectors/skill_market.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "common/file_helpers.h"
#include "common/http_client.h"
#include "common/text_helpers.h"
#include "connectors/connector_catalog.h"

using nlohmann::json;

namespace {

constexpr auto market_life = std::chrono::seconds(3600);
constexpr size_t max_fetch_threads = 8;

// The folders of `tree` exactly one level below `prefix` that hold a SKILL.md, in tree order.
std::vector<std::string> skill_folders(const json& tree, const std::string& prefix) {
    std::vector<std::string> folders;
    for (const json& entry : tree) {
        const std::string path = entry.value("path", std::string());
        if (!path.starts_with(prefix) || path.size() <= prefix.size() + 9 || !path.ends_with("/SKILL.md")) continue;
        if (path.find('/', prefix.size()) != path.size() - 9) continue;
        folders.push_back(path.substr(0, path.size() - 9));
    }
    return folders;
}

// Runs the fetch of every folder on at most max_fetch_threads threads, each taking the next folder not yet taken.
// Every thread started is joined before this returns or throws; a thread that cannot be started leaves its work to
// the others, and only when none starts is the error passed on.
void fetch_skill_folders(const std::vector<std::string>& folders, const github_link& link,
                         std::vector<json>& slots, const json& source) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < folders.size(); i = next++) {
            skill_market_fetch_thread(i, folders, link, slots, source);
        }
    };
    std::vector<std::thread> threads;
    const size_t wanted = std::min(folders.size(), max_fetch_threads);
    threads.reserve(wanted);
    try {
        for (size_t i = 0; i < wanted; ++i) threads.emplace_back(work);
    } catch (const std::system_error&) {
        if (threads.empty()) throw;
    }
    for (std::thread& thread : threads) thread.join();
}

// The market entries of one source, appended to `list`.
void collect_source(const json& source, json& list) {
    github_link link = parse_github_skill_link(source.value("repo", std::string()));
    link.branch = source.value("branch", std::string("HEAD"));
    const std::string path = source.value("path", std::string());
    const std::string prefix = path.empty() ? "" : path + "/";
    const std::vector<std::string> folders = skill_folders(list_github_tree(link), prefix);
    std::vector<json> slots(folders.size());
    fetch_skill_folders(folders, link, slots, source);
    for (json& slot : slots) {
        if (!slot.is_null()) list.push_back(std::move(slot));
    }
}

}  // namespace

void skill_market_fetch_thread(size_t index, const std::vector<std::string>& folders, const github_link& link,
                               std::vector<json>& slots, const json& source) {
    try {
        const std::string& path = folders[index];
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string name = folder, description;
        const std::string url = github_raw_prefix() + link.owner + "/" + link.repo + "/" + link.branch + "/" +
                                encode_url_path(path) + "/SKILL.md";
        std::string body, error;
        if (http_get_capped(url, "", body, error, skill_front_matter_bytes)) {
            parse_skill_front_matter(body, name, description);
        }
        slots[index] = {{"name", name},
                        {"folder", folder},
                        {"description", description},
                        {"by", source.value("by", link.owner)},
                        {"license", source.value("license", std::string())},
                        {"url", github_web_prefix() + link.owner + "/" + link.repo + "/tree/" + link.branch + "/" +
                                    encode_url_path(path)}};
    } catch (const std::exception&) {
        // a source's entry that cannot be made (a "by" that is not a string) is left out
    }
}

json collect_skill_market(const json& sources, std::string& errors) {
    json list = json::array();
    for (const json& source : sources) {
        try {
            collect_source(source, list);
        } catch (const std::exception& e) {
            errors += e.what();
            errors += ' ';
        }
    }
    return list;
}

json skill_market(skill_market_cache& cache, const std::function<json()>& load_catalog) {
    std::lock_guard<std::mutex> lock(cache.mutex);
    const auto now = std::chrono::steady_clock::now();
    if (!cache.list.is_null() && now - cache.stored_at < market_life) return cache.list;

    const json catalog = load_catalog();
    const json sources = catalog.is_object() ? catalog.value("skill_sources", json::array()) : json::array();
    std::string errors;
    json list = collect_skill_market(sources, errors);
    if (list.empty() && !errors.empty()) throw std::runtime_error(errors);
    cache.list = list;
    cache.stored_at = std::chrono::steady_clock::now();
    return list;
}

json skill_market() {
    static skill_market_cache cache;
    return skill_market(cache, [] { return load_connector_catalog(); });
}

json mark_installed_skills(const json& market, const std::vector<skill_info>& installed) {
    std::set<std::string> folders;
    for (const skill_info& skill : installed) folders.insert(skill.skill_file.parent_path().filename().string());
    json marked = json::array();
    for (const json& entry : market) {
        json copy = entry;
        copy["installed"] = folders.count(json_string_or_empty(entry, "folder")) > 0;
        marked.push_back(std::move(copy));
    }
    return marked;
}
