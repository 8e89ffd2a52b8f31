// Installed skills: the skills folder, the front matter of a SKILL.md, the list of installed skills, the rule that
// turns a requested name into a folder name, and the removal of a skill.
//
// A skill is a direct subfolder of the skills folder that holds an entry named SKILL.md: front matter with a name
// and a description between two "---" lines, then Markdown instructions, and optionally scripts, references and
// assets beside it. The folder's name is the skill's key for removal and for the market's "installed" marks.
//
// Threads and locking: the skills folder is the settings' "skills_dir", which agent_state.agent_mutex guards.
// skills_folder() takes that mutex for the moment of the read; a caller that already holds it (GET /agent/state)
// uses skills_folder_in() on the settings it holds instead. Everything else reads the disk only and keeps no state;
// skill_folder_lock serialises the changes of one skill folder (writing, installing, removing) across threads.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// Bytes of a SKILL.md that are read for its front matter.
constexpr size_t skill_front_matter_bytes = 16384;

// One installed skill.
struct skill_info {
    std::string name;         // the front matter's name; the folder name when it gives none or an empty one
    std::string description;  // the front matter's description; "" when none
    std::filesystem::path skill_file;  // full path of its SKILL.md (the parent is the skill's folder)
};

// The skills folder of `settings`: its "skills_dir" (UTF-8 path) when present, else app_data_folder() / "skills".
// Throws nlohmann::json's type error when "skills_dir" is not a string. The folder need not exist.
std::filesystem::path skills_folder_in(const nlohmann::json& settings);
// skills_folder_in(agent_state.settings), read under agent_state.agent_mutex.
// REQUIRES: the calling thread does not hold agent_state.agent_mutex.
std::filesystem::path skills_folder();

// Reads the front matter of a SKILL.md text (lines end at LF): it runs from a first line beginning with "---" to
// the next line beginning with "---" (or the end). "name:" and "description:" lines at the very start of a line set
// the name and description, trimmed of spaces, tabs and quotes in front and of spaces, tabs, CRs and quotes at the
// end; a value of ">", "|", ">-", "|-", ">+" or "|+" starts a block whose indented lines are joined with single
// spaces. Each string changes only when the front matter has its key. Never fails.
void parse_skill_front_matter(std::string_view text, std::string& name, std::string& description);

// The installed skills of `folder`, in the order the file system lists them: every subfolder (links followed) that
// holds an entry named SKILL.md, with the front matter of its first 16384 bytes. A folder that cannot be opened
// lists nothing; an unreadable SKILL.md is listed under its folder name. Throws std::filesystem::filesystem_error
// for a failure other than "not found" while inspecting an entry.
std::vector<skill_info> list_installed_skills(const std::filesystem::path& folder);
// list_installed_skills(skills_folder()). REQUIRES: agent_state.agent_mutex not held by the caller.
std::vector<skill_info> list_installed_skills();

// The folder name for a requested skill name: every byte other than an ASCII letter, digit, '-', '.' or '_'
// becomes '-', leading dots are removed. Throws std::runtime_error "bad skill name" when nothing is left or more
// than 64 bytes are.
std::string check_skill_name(const std::string& requested);

// Deletes the skill folder check_skill_name(name) of the skills folder with everything in it; returns
// {"removed": folder name}. Throws "bad skill name", "no skill named " + name (as requested) when the folder holds
// no SKILL.md, or "could not delete " + folder + ": " + the system's text (what was deleted stays deleted).
nlohmann::json remove_skill(const std::string& name);

// Holds the lock of one skill folder (by its full path) for its lifetime: installs, writes and removals of the same
// skill run one after the other, never on one staging folder at once. Locks of different folders are independent.
class skill_folder_lock {
public:
    explicit skill_folder_lock(const std::filesystem::path& folder);
    skill_folder_lock(const skill_folder_lock&) = delete;
    skill_folder_lock& operator=(const skill_folder_lock&) = delete;

private:
    std::shared_ptr<std::mutex> mutex_;  // kept alive by every holder and waiter
    std::unique_lock<std::mutex> lock_;
};
