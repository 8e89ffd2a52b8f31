// `mivra pull`: copies a pack from a Hugging Face Hub model repo into a pack folder, or brings an earlier copy up to
// date. It lists the repo's root files, keeps those of a pack, checks which copies on disk are already correct,
// checks the drive has room for the rest and downloads them one after the other, smallest first (download_file.h).
// When the pull replaces files of an existing copy, the new files wait under their part names until every one is
// verified and are then all renamed into place, so the folder never holds a mix of old and new files.
//
// The same driver serves `start`, which turns on launcher events with set_gui_progress and reads the reason of a
// failure in last_pull_error (common/process_state.h). Everything runs on the calling thread, without locks.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "distribution/download_file.h"

// Test seam. A test program may define this function; the program itself does not, so the weak reference is null
// there. It returns the time limit of the repo listing in seconds (otherwise 120 s).
extern "C" int mivra_listing_time_limit_hook() __attribute__((weak));

// argv[0] is "pull"; the arguments follow it. Returns the exit code.
int cmd_pull(int argc, char** argv);

// Pulls spec ("owner/name" or "owner/name@revision"; owner and name must be Hub names, else the pull fails before
// anything is written) into out_dir (empty: the folder named after the repo, without
// a "-mivra" ending, in the "models" folder beside the program). Returns 0 when the pack folder is complete and
// verified, 1 when the pull failed: the failure is printed as "\nerror: %s\n" on stderr and kept in
// last_pull_error. No exception leaves it once the pull has begun. Human text goes to stderr; with gui_progress
// the "download" and "progress" events go to stdout.
int pull_pack(std::string spec, std::string out_dir, bool lowbit, bool any_repo, bool from_start);

// Whether the copy of `file` in pack_dir is already correct: present with the listed size and either recorded in
// state["files"] with the expected id, or (unrecorded) with a matching digest, in which case it is recorded and
// the entry logged. Throws the filesystem errors "exists" and "file_size", and record_pulled_file's errors.
bool file_up_to_date(const download_file& file, const std::filesystem::path& pack_dir, nlohmann::json& state);
