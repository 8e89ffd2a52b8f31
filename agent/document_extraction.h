// Document extraction: the text of a file, for a language model. Plain text files are read directly; Office Open
// XML and OpenDocument files, PDFs, pictures and audio or video files go to the extraction script (a Python child
// process, see extraction_script.h), which writes its findings as a JSON file; the old binary Office formats are
// refused with advice on converting them.
//
// The result, an `extraction_result`, is a JSON object:
// - a file read directly: exactly "kind" ("text") and "text" (its first 400000 bytes, unchanged);
// - a file handled by the script: "kind", "text" (at most 400000 UTF-16 units plus "\n[... cut]"), "note" ("" when
//   there is nothing to say) and, by kind, "pages", "width", "height", "duration_s".
//
// POST /agent/extract is a thin call onto extract_document_text (?path=) or extract_posted_document (?name=); the
// read_document tool onto extract_document_text and read_document_page.
//
// Files in the tmp folder given to extract_document_text (the app data folder's tmp):
// - extract.py: the script, written once per process (and again when it has gone missing) under a unique name and
//   renamed into place, so a starting run always reads a whole script; never removed.
// - <id>.json: the output of one run (id: 12 lower-case hex digits); removed once read.
// - <id>.pages: the script's folder for rendered PDF pages; removed after the run in every case.
// - <id>/<name>: a posted document (extract_posted_document); the folder is removed when its extraction ends.
//
// Threads: both functions are safe to call from any number of threads at once; each run has its own output file.
// extract_document_text blocks the calling thread for as long as the script runs (at most the time limit).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// The kind of a path by its extension (ASCII letters compared case-blind): "docx", "pptx", "xlsx", "odt", "ods",
// "odp", "pdf", "image", "media", "old" (.doc, .xls, .ppt), or "" for any other extension or none (read directly).
// Never fails.
std::string document_kind(const std::filesystem::path& path);

// Limits of one script run.
struct extraction_limits {
    // The whole process group of the run is killed when this passes.
    std::chrono::milliseconds time_limit{std::chrono::seconds(600)};
    // Address space of the script and of every program it starts (RLIMIT_AS): a hostile document cannot take the
    // machine's memory.
    uint64_t address_space_bytes = uint64_t(2) << 30;
};

// The extraction_result of `file`; `tmp_folder` is the folder for the script and its output (created with any
// missing parents). Throws std::runtime_error with the text for the user:
//   "no such file: " + path                   not an existing regular file (links followed)
//   "cannot read " + path                     a file read directly that cannot be opened
//   "this is a binary file Mivra can't turn into text"   a NUL byte in the first 8000 bytes of such a file
//   "old Office format (" + extension + "): open it in Word / Excel / PowerPoint and save it as .docx / .xlsx / .pptx"
//   "could not read the file: " + the run's console output cut to 600 bytes   the script wrote no output
//   the script's "error" text                 the script failed (a damaged archive, an unreadable picture ...)
//   "cannot start Python"                     /usr/bin/python3 could not be started
//   "cannot write " + script path             the script could not be put into the tmp folder
// File system errors (creating the tmp folder) and JSON parse errors of a malformed output pass through.
nlohmann::json extract_document_text(const std::filesystem::path& file, const std::filesystem::path& tmp_folder,
                                     const extraction_limits& limits = {});

// The posted form of extraction (POST /agent/extract?name=): the body is written to tmp_folder/<id>/<name> and that
// file extracted; the result gets "name" (the cleaned name). `name` is cleaned like an upload's: bytes below 0x20 and
// \ / : * ? " < > | become "_", and an empty name, "." or ".." becomes "file". The folder tmp_folder/<id> is removed
// with everything in it on every path. Throws what extract_document_text throws, and "cannot write " + path when the
// body cannot be stored whole.
nlohmann::json extract_posted_document(std::string_view name, std::string_view body,
                                       const std::filesystem::path& tmp_folder, const extraction_limits& limits = {});

// The file name that extract_posted_document stores a posted `name` under (see there).
std::string clean_posted_name(std::string_view name);

// One page of an extraction result for the read_document tool: "text" becomes at most 20000 bytes of it from
// `offset` (below 0 taken as 0; a page may end inside a multi-byte character), "total_characters" its whole byte
// length, "more" says "read again with offset " + the next offset while text remains, and "path" is `path`; the
// other members stay. Throws "offset is past the end (" + length + " characters)" for an offset at or past the end
// of a non-empty text; a result without text gives an empty page for any offset.
nlohmann::json read_document_page(nlohmann::json document, int64_t offset, const std::string& path);
