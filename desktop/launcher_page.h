// The built-in launcher page, shown in the web view until the chat page of the server takes over: the markup with
// its style sheet (ending inside the body) and the script element that closes the document. The markup's head starts
// with the `chrome.webview` shim over WebKit's script message handler "mivra" (window.__mivra_receive(d) dispatches
// {data: d} to the page's "message" listeners).
//
// This build's page shows only the waiting view and the error view ("error" and "exited" messages); the model
// choice, the download and loading views follow with the rest of the page.
#pragma once

extern const char* const launcher_page_markup;
extern const char* const launcher_page_script;
