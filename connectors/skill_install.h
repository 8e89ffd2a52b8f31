// Putting skills into the skills folder: writing a new skill from a name, a description and instructions, and
// installing one from a link to a folder of a GitHub repository.
//
// An install lists the repository's tree (connectors/skill_github.h), finds the folder that holds exactly one
// SKILL.md, holds its files against the limits (400 files, 40 MiB declared), downloads them one after the other from
// the raw-file host into the staging folder "." + folder name + ".download" beside the skill, and then swaps the
// staging folder into the skill's place in one step before deleting the old version. Nothing is written before the
// limits are passed, nothing is ever written outside the staging folder, and a failed install deletes its staging
// folder and leaves the installed version as it was.
//
// Threads and locking: each call runs on its caller's thread and may take long (up to 400 downloads). Writes,
// installs and removals of one skill folder are serialised by skill_folder_lock (connectors/skill_folder.h); no
// other lock is held while downloading. Callers must not hold agent_state.agent_mutex.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// The action "install" of POST /agent/skill and the tool install_skill. With a non-empty string "url": what
// install_skill_from_github returns. Otherwise writes <skills folder>/<check_skill_name(name)>/SKILL.md as
// "---\nname: " + folder name + "\ndescription: " + description (CR and LF made spaces) + "\n---\n\n" +
// instructions + "\n" and returns {"installed": folder name, "folder": the folder}. Throws "give url (a GitHub link
// to a skill folder) or name + description + instructions to write a new skill" without url, name or instructions,
// "bad skill name", the filesystem error of "create_directories", or "could not write " + the file's path.
nlohmann::json install_or_write_skill(const nlohmann::json& request);

// Installs the skill that `url` links to and returns {"installed": the front matter's name (the folder name when
// it has no name line), "folder": the installed folder, "files": the number of files, "description": the front
// matter's description or "", "source": github_web_prefix() + owner/repo ["/tree/" + branch + "/" + path]}.
// Errors: those of parse_github_skill_link and list_github_tree; "GitHub sent only part of the file list of " +
// owner/repo + "; that is too big to install"; "no SKILL.md in ...: that is not a skill"; "this folder has N
// skills; install one by its link (...). Skills here: ..."; "GitHub gave no usable size for " + file;
// "that skill is too big (N files)"; "bad skill name"; "download of " + file + " failed: " + the HTTP error;
// file + " changed on GitHub; try again" when a body's length differs from the listed size; "could not write " +
// path; the filesystem errors of "create_directories" and "rename".
nlohmann::json install_skill_from_github(const std::string& url);
