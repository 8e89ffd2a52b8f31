// The web view in the launcher's window and the launcher page's messages. UI thread only.
//
// The view is a WebKitWebView with its own data and cache folders (webkit in the data folder) and the script
// message handler "mivra" that the launcher page's `chrome.webview.postMessage` reaches. Messages to the page are
// evaluated as window.__mivra_receive(json) (the text is always valid JSON).
#pragma once

#include <string>

// Creates the web view inside launcher.window (shown with it), fills launcher.web_view and launcher.page, then shows
// the chat page at once when a server was already running, else the launcher page. Synchronous.
void create_web_view();

// One message of the launcher page, as JSON text: parsed as an object with a string "type" ("" when missing), else
// ignored. "hello": the page listens; the queued messages are sent and, when no engine was started yet and no
// server was running at start, the engine starts. Other types are ignored in this build.
void on_page_message(const std::string& json_text);
