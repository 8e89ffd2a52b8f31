// The UI side of the engine relay: engine lines to the launcher page, the switch to the chat page once the server
// answers, and back to the launcher page when the engine ends under it. UI thread only.
//
// Page messages: before the launcher page's "hello" they are queued, after it sent at once, while the chat page is
// shown dropped; when the chat page comes, the queue is emptied unsent.
#pragma once

#include <string>

// The chat page of the local server.
extern const char* const chat_page_address;

// One line of engine output (already past the reader's rules): parsed as a JSON object with a string "type" ("" when
// it has none), else dropped. "starting" starts the /health poller; every kept line goes to the page unchanged.
void on_engine_line(const std::string& line);

// Sends one JSON text to the launcher page, queues it until "hello", or drops it (no web view, or the chat page).
void post_to_page(const std::string& json_text);

// Sends the queued page messages, oldest first, and empties the queue (on the page's "hello").
void flush_page_messages();

// The server answers: the chat page is shown and the queue emptied unsent.
void on_engine_ready();

// Loads the launcher page; it is not ready until it says "hello".
void show_launcher_page();

// The engine ended by itself with `code`: unless the launcher is quitting, the launcher page comes back (and the
// window to the front) when the chat page was shown, and the page gets the "exited" message.
void on_engine_exited(int code);

// {"type":"error","text": the start-failure text}.
std::string start_failure_message();
// {"type":"exited","code": code,"log": the engine log's path}.
std::string exited_message(int code);
