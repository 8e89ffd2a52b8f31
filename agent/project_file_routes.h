// The routes through which the agent page works with the project folder directly, outside the model's tool calls:
// store a file the user dropped into the page (POST /agent/upload), show one project file (GET /agent/file), list
// the project's files (GET /agent/files) and let the user choose the project folder (POST /agent/pick_folder).
//
// Each begins with the request guard, token required (agent/request_guard.h). Paths are kept inside the project
// folder with resolve_in_project. Threads: any HTTP worker thread, several at once; agent_state.agent_mutex is held
// only while a path is resolved or the project folder read, never while files are written, read or listed, and never
// while the folder dialog is open.
#pragma once

#include "httplib.h"

// POST /agent/upload?name=<file name>&dir=<folder>: stores the body byte for byte as a new file in dir (relative to
// the project folder, or absolute inside it; "uploads" without the parameter; the project folder itself when it is
// empty), made with its missing parents (mode 0700 for new folders). The name is cleaned (clean_upload_name) and,
// when taken, replaced by the next free clash name (upload_clash_name); each candidate is created exclusively and
// without following a link, so nothing is ever overwritten and two uploads of one name at once get two files.
// Reply {"path": the file relative to the project folder, "/" separators, "bytes": the body's length}. Failures 400
// {"error": text}: "uploads go inside the project folder", the file system library's "create_directories" error,
// "cannot write " + path (the partial file is removed).
void handle_agent_upload(const httplib::Request& req, httplib::Response& res);

// GET /agent/file?path=<path>: {"path": the query value as sent, "content": the file's first 600000 bytes}, invalid
// UTF-8 written as U+FFFD. Failures 400: "outside the project folder", "cannot read " + path, "binary file" (a NUL
// byte among the first 8000 bytes).
void handle_agent_file(const httplib::Request& req, httplib::Response& res);

// GET /agent/files: {"root": the project folder as the settings name it, "files": [[relative path, size]...]}: at
// most 3000 regular files of list_project_files, each size 18446744073709551615 when it cannot be read. A missing
// or unreadable project folder lists nothing. Invalid UTF-8 written as U+FFFD. Exceptions are left to the server.
void handle_agent_files(const httplib::Request& req, httplib::Response& res);

// POST /agent/pick_folder: shows the folder dialog (platform/folder_dialog.h, title "Mivra: choose the project
// folder") and answers {"path": the chosen folder} or {"cancelled": true} (cancelled, no zenity, no display).
// Blocks its worker thread until the dialog closes.
void handle_agent_pick_folder(const httplib::Request& req, httplib::Response& res);
