#include "agent/skill_tools.h"

#include <string>
#include <vector>

#include "agent/tool_arguments.h"
#include "agent/tool_search.h"
#include "common/file_helpers.h"
#include "connectors/skill_folder.h"
#include "connectors/skill_install.h"
#include "connectors/skill_market.h"

using nlohmann::json;

namespace {

constexpr size_t skill_file_bytes = 60000;

// The text after the front matter: when the text begins with "---" and a line "---" follows, what comes after the
// line break that ends that line (the whole text when none does).
std::string without_front_matter(const std::string& text) {
    if (text.compare(0, 3, "---") != 0) return text;
    const size_t close = text.find("\n---", 3);
    if (close == std::string::npos) return text;
    const size_t line_end = text.find('\n', close + 4);
    return line_end == std::string::npos ? text : text.substr(line_end + 1);
}

std::string folder_name(const skill_info& skill) { return skill.skill_file.parent_path().filename().string(); }

}  // namespace

json load_skill_tool(const json& arguments) {
    const std::string name = required_text(arguments, "name");
    for (const skill_info& skill : list_installed_skills()) {
        if (skill.name != name && folder_name(skill) != name) continue;
        return {{"skill", skill.name},
                {"folder", skill.skill_file.parent_path().string()},
                {"instructions", without_front_matter(read_file_text(skill.skill_file, skill_file_bytes))}};
    }
    throw std::runtime_error("no skill named " + name);
}

json find_skills_tool(const json& arguments) {
    const std::string query = optional_text(arguments, "query", "");
    const std::vector<skill_info> installed = list_installed_skills();
    json matching = json::array();
    for (const json& entry : skill_market()) {
        if (matches_any_word(entry, query)) matching.push_back(entry);
    }
    return {{"skills", mark_installed_skills(matching, installed)},
            {"note", "any other skill on GitHub can be installed by its link"}};
}

json install_skill_tool(const json& arguments) { return install_or_write_skill(arguments); }
