// The skill tools of the agent: load_skill, find_skills and install_skill. Each takes the call's arguments and
// returns the result for the model, or throws with a text meant for it. They take agent_state.agent_mutex only
// to read the skills folder; the caller must not hold it.
#pragma once

#include <nlohmann/json.hpp>

// {"skill", "folder", "instructions"}: the SKILL.md (first 60000 bytes) of the installed skill whose name or folder
// name is "name", without its front matter. Throws "no skill named " + name.
nlohmann::json load_skill_tool(const nlohmann::json& arguments);

// {"skills": the market entries matching "query", each with "installed", "note"}.
nlohmann::json find_skills_tool(const nlohmann::json& arguments);

// Installs a skill from a GitHub link, or writes a new one from name, description and instructions.
nlohmann::json install_skill_tool(const nlohmann::json& arguments);
