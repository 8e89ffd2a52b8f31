#include "connectors/skill_folder.h"

#include <map>
#include <stdexcept>
#include <system_error>

#include "common/agent_settings.h"
#include "common/agent_state.h"
#include "common/file_helpers.h"
#include "common/process_state.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t max_skill_name_bytes = 64;

bool is_lead_trimmed(char c) { return c == ' ' || c == '\t' || c == '"' || c == '\''; }
bool is_tail_trimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '"' || c == '\''; }

std::string trim_value(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size() && is_lead_trimmed(text[begin])) ++begin;
    size_t end = text.size();
    while (end > begin && is_tail_trimmed(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

bool is_block_marker(const std::string& value) {
    return value == ">" || value == "|" || value == ">-" || value == "|-" || value == ">+" || value == "|+";
}

// The next line of `text` from `pos` (without its LF; a CR stays), moving `pos` past it. False at the end.
bool next_line(std::string_view text, size_t& pos, std::string_view& line) {
    if (pos >= text.size()) return false;
    const size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) {
        line = text.substr(pos);
        pos = text.size();
    } else {
        line = text.substr(pos, end - pos);
        pos = end + 1;
    }
    return true;
}

// A filesystem error for anything but "not found" while looking at `path`.
void throw_unless_not_found(const std::error_code& error, const char* what, const fs::path& path) {
    if (error && error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory) {
        throw fs::filesystem_error(what, path, error);
    }
}

}  // namespace

fs::path skills_folder_in(const json& settings) {
    if (settings.is_object() && settings.contains("skills_dir")) {
        return fs::path(settings.at("skills_dir").get<std::string>());
    }
    return app_data_folder() / "skills";
}

fs::path skills_folder() {
    json skills_dir;
    {
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        if (agent_state.settings.is_object() && agent_state.settings.contains("skills_dir")) {
            skills_dir = agent_state.settings.at("skills_dir");
        }
    }
    return skills_dir.is_null() ? skills_folder_in(json::object())
                                : skills_folder_in(json{{"skills_dir", std::move(skills_dir)}});
}

void parse_skill_front_matter(std::string_view text, std::string& name, std::string& description) {
    size_t pos = 0;
    std::string_view line;
    if (!next_line(text, pos, line) || !line.starts_with("---")) return;
    std::string* continued = nullptr;
    while (next_line(text, pos, line)) {
        if (line.starts_with("---")) break;
        if (continued != nullptr && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            const std::string part = trim_value(line);
            if (!part.empty()) {
                if (!continued->empty()) continued->push_back(' ');
                continued->append(part);
            }
            continue;
        }
        continued = nullptr;
        std::string* target = nullptr;
        if (line.size() >= 5 && line.starts_with("name:")) {
            target = &name;
        } else if (line.size() >= 12 && line.starts_with("description:")) {
            target = &description;
        } else {
            continue;
        }
        const std::string value = trim_value(line.substr(line.find(':') + 1));
        if (is_block_marker(value)) {
            target->clear();
            continued = target;
        } else {
            *target = value;
        }
    }
    name = trim_value(name);
    description = trim_value(description);
}

std::vector<skill_info> list_installed_skills(const fs::path& folder) {
    std::vector<skill_info> skills;
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) return skills;
    for (; it != fs::directory_iterator(); ++it) {
        const fs::path entry = it->path();
        const fs::file_status entry_status = fs::status(entry, error);
        throw_unless_not_found(error, "status", entry);
        if (!fs::is_directory(entry_status)) continue;
        fs::path skill_file = entry / "SKILL.md";
        const fs::file_status file_status = fs::status(skill_file, error);
        throw_unless_not_found(error, "status", skill_file);
        if (!fs::exists(file_status)) continue;

        const std::string folder_name = entry.filename().string();
        skill_info skill{folder_name, "", std::move(skill_file)};
        try {
            parse_skill_front_matter(read_file_text(skill.skill_file, skill_front_matter_bytes), skill.name,
                                     skill.description);
        } catch (const std::exception&) {
            // listed under its folder name
        }
        if (skill.name.empty()) skill.name = folder_name;
        skills.push_back(std::move(skill));
    }
    return skills;
}

std::vector<skill_info> list_installed_skills() { return list_installed_skills(skills_folder()); }

std::string check_skill_name(const std::string& requested) {
    std::string name = requested;
    for (char& c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_';
        if (!kept) c = '-';
    }
    const size_t first_kept = name.find_first_not_of('.');
    name.erase(0, first_kept == std::string::npos ? name.size() : first_kept);
    if (name.empty() || name.size() > max_skill_name_bytes) throw std::runtime_error("bad skill name");
    return name;
}

json remove_skill(const std::string& name) {
    const std::string folder_name = check_skill_name(name);
    const fs::path folder = skills_folder() / folder_name;
    skill_folder_lock lock(folder);
    std::error_code error;
    if (!fs::exists(fs::status(folder / "SKILL.md", error)) || error) {
        throw std::runtime_error("no skill named " + name);
    }
    fs::remove_all(folder, error);
    if (error) throw std::runtime_error("could not delete " + folder.string() + ": " + error.message());
    return {{"removed", folder_name}};
}

skill_folder_lock::skill_folder_lock(const fs::path& folder) {
    static std::mutex table_mutex;
    static std::map<std::string, std::shared_ptr<std::mutex>> table;  // guarded by table_mutex; one per folder
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        std::shared_ptr<std::mutex>& slot = table[folder.lexically_normal().string()];
        if (!slot) slot = std::make_shared<std::mutex>();
        mutex_ = slot;
    }
    lock_ = std::unique_lock<std::mutex>(*mutex_);
}
