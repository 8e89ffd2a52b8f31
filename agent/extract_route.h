// POST /agent/extract: the text of a document for the built-in chat page (an attached file) or of a project file,
// through agent/document_extraction.h.
//
// Threads: any HTTP worker thread, several at once; agent_state.agent_mutex is held only while a ?path= value is
// resolved, never while the extraction runs.
#pragma once

#include "httplib.h"

// After the request guard (token required), one of two forms:
// - ?path=<path>: a project file (relative to the project folder, or absolute inside it); "outside the project
//   folder" otherwise. Wins when both are given (the body is then ignored).
// - ?name=<file name>: the body is the document, stored under the cleaned name in a folder of its own below the app
//   data folder's tmp (removed on every way out) and extracted there (extract_posted_document).
// Reply 200: the extraction_result with "name" (the file's name) added, invalid UTF-8 written as U+FFFD. Every
// failure 400 {"error": text}, with extract_document_text's texts.
void handle_agent_extract(const httplib::Request& req, httplib::Response& res);
