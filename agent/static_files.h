// Serving one file below a root folder (the UI folder, the project folder), never leaving that folder, and the
// content types by file extension. No state besides the content-type table, built once on first use (thread-safe).
#pragma once

#include <filesystem>
#include <string>

#include "httplib.h"

// The content type of a file extension given with its dot (".PNG"; compared after ASCII lower-casing):
// text/html, css and javascript with "; charset=utf-8", application/json, image/svg+xml, png, jpeg, gif, webp,
// x-icon, text/plain for .txt and .md, fonts, video/mp4, application/wasm; "application/octet-stream" for any
// other extension and for none.
const std::string& mime_type_for(const std::string& extension);

// Fills `res` with the file at `relative` (UTF-8, as the URL gave it) below `root`:
// - 404 with an empty body when the path would leave the root (by "..", an absolute path or a symbolic link that
//   points outside), names the root itself, holds a NUL byte, or the root is empty or cannot be resolved;
// - for a folder, its index.html (checked against the root again, since it may be a link);
// - a regular file: 200, the whole file, mime_type_for its extension, "Cache-Control: no-cache";
// - anything else (missing, a folder without index.html): 404 "not found" as text/plain.
// Throws std::runtime_error "cannot read " + path when the file exists but cannot be opened.
void serve_file_below(const std::filesystem::path& root, const std::string& relative, httplib::Response& res);
