// Finding packs of catalog models on the PC: the tests that decide whether a folder is a pack, whether its download
// is finished and which catalog model it holds; the choice of a model's folder; and the search of a few likely
// folders (two levels down at most) for packs that are not in the models folder, remembered in links.json.
// The launcher's "locate" command uses the same tests for a folder the user picked.
//
// Everything here runs on the thread of `start` and keeps no state between calls. A manifest.json or pull state
// that is missing, broken or holds members of the wrong type never makes these functions throw: such a folder
// simply does not count as a pack (or as an identified one).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "distribution/catalog.h"
#include "distribution/model_links.h"

// The folder's manifest.json is an object whose "format" is the string "mivra-pack-1" or "miva-pack-1".
bool is_pack_folder(const std::filesystem::path& folder);

// The folder directly holds an entry whose extension is exactly ".part" (an unfinished download); a folder that
// cannot be listed holds none. Throws the filesystem error "directory_iterator::operator++" when stepping through
// the entries fails.
bool has_partial_files(const std::filesystem::path& folder);

// is_pack_folder and no partial files.
bool is_complete_pack(const std::filesystem::path& folder);

// The text without every byte that is not an ASCII letter or digit, letters lower-cased.
std::string normalise_model_name(const std::string& text);

// The id of the catalog model the folder holds, or "": first by the pull state's "repo" (equal to an entry's repo,
// or beginning with that repo and "@"), then by the normalised manifest "source" and folder name containing an
// entry's normalised id. A "repo" or "source" that is not a string counts as absent.
std::string identify_pack(const std::filesystem::path& folder, const std::vector<catalog_entry>& catalog);

// The folder to use for a model: models_dir/id when that is a complete pack, else the linked folder when that is
// one, else models_dir/id (whether or not it exists).
std::filesystem::path resolve_model_folder(const std::filesystem::path& models_dir, const std::string& id,
                                           const model_links& links);

// Where the search looks: the roots in order (a root may appear twice and is then searched twice), and folders it
// never enters (mount points of file systems that are no local disk: kernel views, RAM, network, removable).
struct pack_search_area {
    std::vector<std::filesystem::path> roots;
    std::vector<std::filesystem::path> excluded;
};

// This machine's search area: the program folder, the working folder, the user's Downloads, Documents and Desktop
// folders, the mount points of local disks and the home folder; excluded are the other mount points.
pack_search_area pc_search_area();

// For every catalog model whose resolve_model_folder is not a complete pack, looks for complete packs of it in
// the area (roots and their sub-folders, two levels down, skipping system, dependency and hidden folders and never
// entering a pack). A model found gets a link to its copy (the first one with a pull state, else the first one
// found) and one message: a "note" event under the launcher, a console line otherwise. links.json is rewritten
// once when a link was set. Searches nothing when no model is missing.
void locate_packs_in(const std::vector<catalog_entry>& catalog, const std::filesystem::path& models_dir,
                     model_links& links, const pack_search_area& area);

// locate_packs_in with pc_search_area().
void locate_packs_on_pc(const std::vector<catalog_entry>& catalog, const std::filesystem::path& models_dir,
                        model_links& links);
