// The chat store: the chats of the two chat pages, one JSON file per chat, kept exactly as the page posted it, so
// that every browser and the desktop launcher show the same list. The store reads only a chat's "id" (which names
// its file) and its "updated" number (the sort key); the pages own everything else.
//
// Files: <app data folder>/chats/simple/<id>.json for the built-in chat page (query kind=simple exactly) and
// <app data folder>/chats/agent/<id>.json for every other request. Folders are created with mode 0700, chat files
// with mode 0600. A save writes a temporary file of its own beside the chat (<id>.json.<random>.tmp, which never
// ends in ".json", so listings skip it) and renames it over <id>.json: a reader sees the old or the new chat whole,
// and two saves of one id at the same time each write their own file; the last rename wins.
//
// Threads: the handlers run on any HTTP worker thread at once; they keep no state and take no lock (the file system
// orders the renames).
#pragma once

#include <filesystem>

#include "httplib.h"

// The chat folder of a request: app data folder / "chats" / "simple" when the query's "kind" is exactly "simple",
// else / "agent". Not created.
std::filesystem::path chats_folder(const httplib::Request& req);

// POST /agent/chat?kind=...: stores the body as <id>.json. Reply {"ok":true}; every failure answers 400
// {"error": text}: the JSON library's message for a body that is not JSON, not an object or whose "id" is not a
// string, "bad chat id" (empty, over 40 bytes, or a byte other than an ASCII letter, digit, "-" or "_"), "chat too
// large" (body over 67108864 bytes), "cannot write the chat", or the file system error of creating the folder or
// of the rename. A failed save removes its temporary file and leaves the stored chat as it was.
void handle_agent_chat(const httplib::Request& req, httplib::Response& res);

// GET /agent/chats?kind=...: {"chats": [...]} with the parsed chats of the folder's "*.json" files (case-sensitive
// extension), highest "updated" first (absent counts as 0), at most 300, written compactly with sorted keys and
// invalid UTF-8 replaced. Files that cannot be read or parsed, that are not objects or whose "updated" is not a
// number are left out. A missing folder lists nothing. A failure while walking the folder leaves the handler.
void handle_agent_chats(const httplib::Request& req, httplib::Response& res);

// POST /agent/chat_delete?kind=...: body {"id": ...}; removes <id>.json, ignoring every failure. Reply {"ok":true};
// the body's failures and "bad chat id" as for POST /agent/chat.
void handle_agent_chat_delete(const httplib::Request& req, httplib::Response& res);
