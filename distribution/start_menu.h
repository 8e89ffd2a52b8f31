// The model menu of `start`: its rows (catalog models and packs the catalog does not know, installed ones first),
// the default row, last.txt, the answers of the console menu and the launcher's command loop.
//
// Everything here runs on the thread of `start`; the rows, links and catalog are locals of that command.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "distribution/catalog.h"
#include "distribution/menu_item.h"
#include "distribution/model_links.h"

// The folder holds manifest.json or a pull state: the download has at least begun.
bool is_installed_folder(const std::filesystem::path& folder);
// The folder holds manifest.json and no ".part" file.
bool is_ready_folder(const std::filesystem::path& folder);

struct menu_rows {
    std::vector<menu_item> items;        // in menu order: installed rows first
    std::vector<catalog_entry> too_new;  // models that need a newer program (only their names are shown)
};

// One row per catalog entry (folder from resolve_model_folder), except entries that are not installed and need a
// newer program, which go to too_new; then one row per folder of models_dir that holds manifest.json and whose
// name no row has as its id; then the installed rows are moved before the others, keeping their order. A listing
// error of models_dir leaves out the extra rows; a file-system error other than "not found" while testing an entry
// of it throws the filesystem error.
menu_rows build_menu_rows(const std::vector<catalog_entry>& catalog, const std::filesystem::path& models_dir,
                          const model_links& links);

struct menu_default {
    size_t choice = 0;          // index of the preselected row
    bool last_ready = false;    // the installed row named by last.txt is ready
    bool single_ready = false;  // exactly one row, and it is ready
};

// The installed row named by last_id; failing that the first row if it is installed; failing that the first
// recommended row; failing that the first row. items must not be empty.
menu_default pick_default(const std::vector<menu_item>& items, const std::string& last_id);

inline constexpr char last_model_name[] = "last.txt";
// The first line of models_dir/last.txt without its line end ("\n" or "\r\n"); "" when missing or empty.
std::string read_last_model(const std::filesystem::path& models_dir);
// Replaces models_dir/last.txt with the id and "\r\n" (as a text file is written on Windows). Failures are ignored.
void write_last_model(const std::filesystem::path& models_dir, const std::string& id);

// The console menu from its first line to the too-new names, as printed before the prompt.
std::string console_menu_text(const std::vector<menu_item>& items, const std::vector<catalog_entry>& too_new);
// "\n  Type a number and press Enter (just Enter = N, q = quit): " with N = choice + 1.
std::string console_prompt(size_t choice);

// One answer typed at the console prompt, white space removed: empty -> the default; "q" or "Q" -> quit; a whole
// base-10 integer (optional sign) from 1 to rows -> that row (0-based); anything else -> invalid.
struct menu_answer {
    enum kind_t { take_default, quit, row, invalid } kind = invalid;
    size_t index = 0;
};
menu_answer read_menu_answer(const std::string& line, size_t rows);

// Asks at the console until an answer is valid: prints the prompt, reads a line from `in`; the end of input takes
// the default. Returns the chosen row, or nullopt for quit. Writes on stdout (flushed).
std::optional<size_t> console_choose(size_t choice, size_t rows, std::istream& in);

// The error text of a locate command for `id` and `folder`, or "" when the folder can be used.
std::string locate_error(const std::vector<menu_item>& items, const std::string& id,
                         const std::filesystem::path& folder, const std::vector<catalog_entry>& catalog);

// The launcher's command loop: reads command lines from `in` until one chooses a row. A locate command that
// passes links the folder (links.json rewritten at once), makes that row installed, ready and the choice; one that
// fails is answered and the loop goes on. Every "located" event goes to `emit`. Returns the chosen row, or nullopt
// after "quit" or the end of input.
std::optional<size_t> run_command_loop(std::vector<menu_item>& items, size_t preselected,
                                       const std::vector<catalog_entry>& catalog,
                                       const std::filesystem::path& models_dir, model_links& links,
                                       std::istream& in, const std::function<void(const nlohmann::json&)>& emit);
