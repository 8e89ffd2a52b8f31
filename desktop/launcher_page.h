// The built-in launcher page, shown in the web view until the chat page of the server takes over: the markup with
// its style sheet (ending inside the body) and the script element that closes the document.
//
// The markup's head starts with the `chrome.webview` shim over WebKit's script message handler "mivra":
// chrome.webview.postMessage(object) reaches the launcher, and window.__mivra_receive(d) dispatches {data: d} to the
// page's "message" listeners. Outside the launcher (no such handler) the shim defines nothing, and the page stays on
// its waiting view and sends nothing.
//
// The page has five views (waiting, model choice, download, loading, error) and a notes area; every event text that
// goes into markup is escaped. What it sends: {"type":"hello"} once after loading, {"type":"choose","id"} for a
// click on a model card, {"type":"locate","id"} for a click on the card's folder link, and "quit", "retry", "menu"
// from its buttons.
#pragma once

extern const char* const launcher_page_markup;
extern const char* const launcher_page_script;
