#include "connectors/skill_install.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/file_helpers.h"
#include "common/http_client.h"
#include "common/text_helpers.h"
#include "connectors/skill_folder.h"
#include "connectors/skill_github.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/private_files.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t max_skill_files = 400;
constexpr uint64_t max_skill_bytes = 41943040;
constexpr size_t download_slack_bytes = 1024;
constexpr size_t max_listed_skills = 40;

// One file of the skill: its path below the skill folder and the size the tree declares.
struct skill_download_file {
    std::string rel;
    uint64_t size = 0;
};

// True when `rel` can only name a place below the folder it is joined to: non-empty '/'-separated segments, none
// "." or "..", and no NUL, control character, ':' or '\' anywhere. Also refuses every ".." (as in notes..txt).
bool tree_path_is_safe(const std::string& rel) {
    if (rel.empty() || rel.find("..") != std::string::npos) return false;
    for (const unsigned char c : rel) {
        if (c < 0x20 || c == 0x7f || c == ':' || c == '\\') return false;
    }
    for (const std::string& segment : split_slash(rel)) {
        if (segment.empty() || segment == ".") return false;
    }
    return !rel.ends_with('/');
}

// A root skill brings its top-level files and these three folders only.
bool belongs_to_root_skill(const std::string& rel) {
    return rel.find('/') == std::string::npos || rel.starts_with("scripts/") || rel.starts_with("references/") ||
           rel.starts_with("assets/");
}

// The tree's "size" of a blob: an integer of at least 0, or the install is refused.
uint64_t declared_size(const json& entry, const std::string& rel) {
    const auto size = entry.find("size");
    if (size == entry.end() || !size->is_number_integer() || (!size->is_number_unsigned() && size->get<int64_t>() < 0)) {
        throw std::runtime_error("GitHub gave no usable size for " + rel);
    }
    return size->get<uint64_t>();
}

std::string last_component(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Finds the skill's folder below link.path (steps of the tree walk); may change link.path to the one folder below
// it that holds a SKILL.md.
void find_skill_folder(github_link& link, const json& tree) {
    const std::string prefix = link.path.empty() ? "" : link.path + "/";
    std::vector<std::string> candidates;
    for (const json& entry : tree) {
        const std::string path = entry.value("path", std::string());
        if (path == prefix + "SKILL.md") return;
        if (path.starts_with(prefix) && path.size() > 9 && path.ends_with("/SKILL.md")) {
            candidates.push_back(path.substr(0, path.size() - 9));
        }
    }
    if (candidates.empty()) {
        throw std::runtime_error("no SKILL.md in " + link.owner + "/" + link.repo +
                                 (link.path.empty() ? "" : "/" + link.path) + ": that is not a skill");
    }
    if (candidates.size() > 1) {
        std::string names;
        for (size_t i = 0; i < candidates.size() && i < max_listed_skills; ++i) {
            if (i > 0) names += ", ";
            names += last_component(candidates[i]);
        }
        throw std::runtime_error("this folder has " + std::to_string(candidates.size()) +
                                 " skills; install one by its link (" + github_web_prefix() + link.owner + "/" +
                                 link.repo + "/tree/" + link.branch + "/" + candidates.front() +
                                 "). Skills here: " + names);
    }
    link.path = candidates.front();
}

// The files of the skill at link.path, held against the limits.
std::vector<skill_download_file> select_skill_files(const github_link& link, const json& tree) {
    const std::string prefix = link.path.empty() ? "" : link.path + "/";
    std::vector<skill_download_file> files;
    uint64_t total = 0;
    for (const json& entry : tree) {
        if (entry.value("type", std::string()) != "blob") continue;
        const std::string path = entry.value("path", std::string());
        if (!path.starts_with(prefix)) continue;
        std::string rel = path.substr(prefix.size());
        if (!tree_path_is_safe(rel)) continue;
        if (link.path.empty() && !belongs_to_root_skill(rel)) continue;
        const uint64_t size = declared_size(entry, rel);
        total = size > max_skill_bytes ? max_skill_bytes + 1 : std::min(total + size, max_skill_bytes + 1);
        files.push_back({std::move(rel), size});
    }
    if (files.size() > max_skill_files || total > max_skill_bytes) {
        throw std::runtime_error("that skill is too big (" + std::to_string(files.size()) + " files)");
    }
    return files;
}

void remove_folder_quietly(const fs::path& folder) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

// Downloads every file into `staging`, which exists and is empty.
void download_skill_files(const github_link& link, const std::vector<skill_download_file>& files,
                          const fs::path& staging) {
    const std::string prefix = link.path.empty() ? "" : link.path + "/";
    const std::string base = github_raw_prefix() + encode_url_path(link.owner) + "/" + encode_url_path(link.repo) +
                             "/" + encode_url_path(link.branch) + "/";
    const fs::path inside = staging.lexically_normal();
    for (const skill_download_file& file : files) {
        std::string body, error;
        if (!http_get_capped(base + encode_url_path(prefix + file.rel), "", body, error,
                             file.size + download_slack_bytes)) {
            throw std::runtime_error("download of " + file.rel + " failed: " + error);
        }
        if (body.size() != file.size) throw std::runtime_error(file.rel + " changed on GitHub; try again");

        const fs::path dest = (staging / file.rel).lexically_normal();
        const fs::path from_staging = dest.lexically_relative(inside);
        if (from_staging.empty() || *from_staging.begin() == "..") {
            throw std::runtime_error("could not write " + dest.string());  // tree_path_is_safe keeps this away
        }
        std::error_code code;
        if (!create_private_folders(dest.parent_path(), code)) {
            throw fs::filesystem_error("create_directories", dest.parent_path(), code);
        }
        if (!write_private_file(dest, body, code)) throw std::runtime_error("could not write " + dest.string());
    }
}

// Puts `staging` in the place of `target` (which may exist) in one step, then deletes the old version.
void replace_skill_folder(const fs::path& staging, const fs::path& target) {
    std::error_code code;
    if (fs::symlink_status(target, code).type() == fs::file_type::not_found) {
        fs::rename(staging, target);
        return;
    }
    if (exchange_paths(staging, target, code)) {
        remove_folder_quietly(staging);  // the old version now
        return;
    }
    if (code != std::errc::invalid_argument && code != std::errc::function_not_supported &&
        code != std::errc::operation_not_supported) {
        throw fs::filesystem_error("rename", staging, target, code);
    }
    // A file system that cannot exchange: the old version steps aside under a name of its own first, and comes back
    // when the new one cannot take its place.
    const fs::path aside = target.parent_path() / ("." + target.filename().string() + ".old-" + random_hex_id());
    fs::rename(target, aside);
    try {
        fs::rename(staging, target);
    } catch (const fs::filesystem_error&) {
        std::error_code ignored;
        fs::rename(aside, target, ignored);
        throw;
    }
    remove_folder_quietly(aside);
}

json write_new_skill(const json& request) {
    const std::string name = json_string_or_empty(request, "name");
    const std::string instructions = json_string_or_empty(request, "instructions");
    if (name.empty() || instructions.empty()) {
        throw std::runtime_error(
            "give url (a GitHub link to a skill folder) or name + description + instructions to write a new skill");
    }
    const std::string folder_name = check_skill_name(name);
    const fs::path folder = skills_folder() / folder_name;
    skill_folder_lock lock(folder);
    std::error_code code;
    if (!create_private_folders(folder, code)) throw fs::filesystem_error("create_directories", folder, code);
    std::string description = json_string_or_empty(request, "description");
    for (char& c : description) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    const std::string text =
        "---\nname: " + folder_name + "\ndescription: " + description + "\n---\n\n" + instructions + "\n";
    const fs::path file = folder / "SKILL.md";
    if (!write_file_atomic(file.string(), text)) throw std::runtime_error("could not write " + file.string());
    return {{"installed", folder_name}, {"folder", folder.string()}};
}

}  // namespace

json install_skill_from_github(const std::string& url) {
    github_link link = parse_github_skill_link(url);
    bool truncated = false;
    const json tree = list_github_tree(link, &truncated);
    if (truncated) {
        throw std::runtime_error("GitHub sent only part of the file list of " + link.owner + "/" + link.repo +
                                 "; that is too big to install");
    }
    find_skill_folder(link, tree);
    const std::vector<skill_download_file> files = select_skill_files(link, tree);
    const std::string folder_name = check_skill_name(link.path.empty() ? link.repo : last_component(link.path));

    const fs::path skills = skills_folder();
    const fs::path staging = skills / ("." + folder_name + ".download");
    const fs::path target = skills / folder_name;
    {
        skill_folder_lock lock(target);
        remove_folder_quietly(staging);
        try {
            std::error_code code;
            if (!create_private_folders(staging, code)) throw fs::filesystem_error("create_directories", staging, code);
            download_skill_files(link, files, staging);
            replace_skill_folder(staging, target);
        } catch (...) {
            remove_folder_quietly(staging);
            throw;
        }
    }

    std::string installed = folder_name, description;
    try {
        parse_skill_front_matter(read_file_text(target / "SKILL.md", skill_front_matter_bytes), installed,
                                 description);
    } catch (const std::exception&) {
        // the reply then names the folder
    }
    std::string source = github_web_prefix() + link.owner + "/" + link.repo;
    if (!link.path.empty()) source += "/tree/" + link.branch + "/" + link.path;
    return {{"installed", installed},
            {"folder", target.string()},
            {"files", files.size()},
            {"description", description},
            {"source", source}};
}

json install_or_write_skill(const json& request) {
    const std::string url = json_string_or_empty(request, "url");
    if (!url.empty()) return install_skill_from_github(url);
    return write_new_skill(request);
}
