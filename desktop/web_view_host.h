// The web view in the launcher's window. UI thread only.
//
// The view is a WebKitWebView with its own data and cache folders (webkit in the data folder) and the script
// message handler "mivra" that the launcher page's `chrome.webview.postMessage` reaches. Messages to the page are
// evaluated as window.__mivra_receive(json) (the text is always valid JSON).
//
// What the view may do:
// - It shows the launcher page (loaded from a string as about:blank) and the local server's pages; every other
//   navigation, and every request for a new window, is refused, and opens in the user's browser when the user made
//   it (a click or a key) and it is an http or https address (navigation_policy.h).
// - Page messages are taken only while the launcher page is the view's current page (its address about:blank, the
//   chat page not shown); the chat page or any other page cannot reach the launcher through the handler.
// - The window's title follows the page's title ("Mivra" for none, or "about:blank").
// - When the web process ends before the launcher page ever said "hello", WebKit cannot run here: the user is told,
//   `mivra start` opens in a terminal window when there is one, and the launcher ends (fall_back_to_browser). A web
//   process that ends later is started again with the page that was shown.
#pragma once

// Creates the web view inside launcher.window (shown with it), fills launcher.web_view and launcher.page, then shows
// the chat page at once when a server was already running, else the launcher page. Synchronous.
void create_web_view();

// Tells the user that the web view cannot run, starts `mivra start` from the launcher folder in a terminal window
// (x-terminal-emulator -e) when one is installed, and ends the launcher.
void fall_back_to_browser();
