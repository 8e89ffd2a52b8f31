// The files of a pack as the Hugging Face Hub's tree API lists them (GET /api/models/<owner>/<name>/tree/<rev>):
// which entries at the repo root make up the pack, and what each one is checked against. No state; any thread.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "distribution/download_file.h"

struct hub_listing {
    std::vector<download_file> files;   // the files to pull, in listing order
    std::vector<std::string> odd_names; // root files left out because their names are no plain file names
    std::vector<std::string> long_names; // root files left out because their part file's name would be too long
    bool has_manifest = false;          // "manifest.json" is among the files
    bool has_lowbit = false;            // "experts.lo.bin" is among the files
};

// Keeps the entries of type "file" at the root, except ".gitattributes", "hot.bin" and every name holding
// "experts.lo" other than "experts.lo.bin" (kept only with `lowbit`). Names that could not be written safely
// beside the pack's own files ("", "." and "..", names ending in ".part" or ".tmp", the pull state's name, names
// holding a zero byte) go to odd_names; names of more than 250 bytes, whose part file name (+ ".part") would pass
// the 255 bytes a file name may have, go to long_names. A kept entry's size is its "lfs" object's size when present, else its
// "size"; its id is the "lfs" object's "oid" (SHA-256) or else the entry's "oid" (Git blob id).
// Throws the JSON library's errors for an entry of type "file" without a string "path", or a kept one without a
// numeric size or the needed string "oid", and std::runtime_error path + ": negative size in the Hub listing".
hub_listing read_hub_listing(const nlohmann::json& listing, bool lowbit);
