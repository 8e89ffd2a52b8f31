// Undo backups: before the agent's write_file or edit_file changes a file, backup_before_write saves what is needed
// to take the change back, and POST /agent/undo takes it back.
//
// Files in backups_folder() (app data folder / "backups", mode 0700; files 0600):
// - <id>.json: the record, compact JSON {"existed": a regular file was at the path, "path": the path in UTF-8};
// - <id>.bak: a byte-for-byte copy of the old file, only when "existed" is true.
// The id is 16 lower-case hex digits. Nothing removes backups: an id stays usable as long as its files are there, and
// undoing one id twice does the same thing twice.
//
// A change is never made without a way back: when the copy or the record cannot be written, the write is refused.
// An undo first backs up what is at the path now (a new record of its own), so an undo can itself be undone and
// newer work is never overwritten or removed without a copy.
//
// Threads: safe from any number of threads at once; no lock (each backup has its own random names). An undo of a
// file that a tool writes at the same moment is not coordinated with that write.
#pragma once

#include <filesystem>
#include <string>

#include "httplib.h"

// Saves the record (and the copy when a regular file is at `path`, links followed) and returns the new undo id.
// `path` is the resolved absolute path of the file about to be written; callers call this after all their own
// checks and before they write. Throws std::runtime_error "cannot back up " + path when the backups folder, the
// copy or the record cannot be made (nothing of this backup is left behind then).
std::string backup_before_write(const std::filesystem::path& path);

// Takes the change of `undo_id` back: puts the copy back over the recorded path (through platform/safe_writes.h,
// keeping the file's mode, never through a link that leads out of the file's folder), or removes the file when the
// change created it (nothing there is no error). Before either, what is at the path now is backed up; its id is
// returned. Throws "bad undo id" unless the id is 16 hex digits (capitals are read as small letters), "cannot read "
// + the record's path for an unknown id, the JSON library's errors for a broken record, "cannot back up " + path,
// the file system library's "copy_file" error when the copy is missing, "cannot write " + path when the copy cannot
// be put back, and its "remove" error when the path cannot be removed.
struct undo_outcome {
    std::filesystem::path path;
    bool restored = false;  // the record's "existed": old content put back (true) or the file removed (false)
    std::string undo_id;    // the backup of what was at the path just before
};
undo_outcome undo_change(const std::string& undo_id);

// POST /agent/undo with body {"undo_id": id}: after the guard (token required), undo_change. Reply 200
// {"ok": true, "path": path, "restored": bool, "undo_id": the id that takes this undo back}; every failure 400
// {"error": text} (a body that is not an object with a string "undo_id" gives the JSON library's text).
void handle_agent_undo(const httplib::Request& req, httplib::Response& res);
