// The pages and file routes of the agent backend: "/" (the agent page from the UI folder, or the built-in chat
// page), /simple (always the built-in chat page), /ui/... (files of the UI folder) and /preview/... (files of the
// project folder, as the user previews them in a browser).
//
// The pages carry the page token in place of the placeholder "{{MIVRA_TOKEN}}" so that the page can send it back
// in "X-Mivra-Token"; they carry "" instead when the server is not served locally or the request's Host fails the
// guard's host check (a rebound DNS name must not learn the token).
//
// All handlers run on the server's worker threads. The page and /ui routes read only fields written once at
// start-up and take no lock; /preview holds agent_state.agent_mutex while it finds and reads the file.
#pragma once

#include <string>

#include "httplib.h"

// The placeholder that the pages carry where the token goes.
extern const char page_token_placeholder[];  // "{{MIVRA_TOKEN}}"

// The token a page served for `req` carries: agent_state.page_token when served locally and agent_host_ok(req),
// else "".
std::string page_token_for(const httplib::Request& req);

// `page` with every placeholder replaced by page_token_for(req).
std::string render_chat_page(const std::string& page, const httplib::Request& req);

// GET "/": when served locally and the UI folder holds index.html, that file with the token written in and
// "Cache-Control: no-store"; otherwise the built-in chat page `chat_page`, rendered, without Cache-Control.
// Always "text/html; charset=utf-8". Throws "cannot read ..." when index.html exists but cannot be read.
void handle_root_page(const std::string& chat_page, const httplib::Request& req, httplib::Response& res);

// GET /simple: the built-in chat page, rendered, "text/html; charset=utf-8", "Cache-Control: no-store".
void handle_simple_page(const std::string& chat_page, const httplib::Request& req, httplib::Response& res);

// GET /ui/(.+): serve_file_below(ui_dir, the captured part). No guard.
void handle_ui_file(const httplib::Request& req, httplib::Response& res);

// GET /preview/(.*): serve_file_below(project folder, the captured part) after the guard without the token.
// Every reply carries a Content-Security-Policy that sandboxes the page without allow-same-origin (so a previewed
// page runs with an opaque origin: it cannot read "/" nor pass the guard, whose Origin check sees "null") and
// "X-Content-Type-Options: nosniff". A request marked "Sec-Fetch-Site: cross-site" is refused like the guard does.
void handle_preview_file(const httplib::Request& req, httplib::Response& res);
