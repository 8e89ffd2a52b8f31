// The launcher page's messages to the launcher: what "hello", "choose", "locate", "retry", "menu" and "quit" do.
// UI thread only.
#pragma once

#include <string>

// Carries out one message of the launcher page, given as JSON text. Anything but an object with a string "type" of
// the six below does nothing, as does a member of the wrong type (an "id" that is not a string).
// - "hello": the page listens: the queued messages are sent, and the engine starts unless one was started already
//   or a server was running at start.
// - "choose": the "id" ("" when missing) goes to the engine's stdin as a line.
// - "locate": asks for the model's folder (launcher.page.choose_folder) and writes "locate " + id + TAB + folder as
//   a line; a cancelled dialog writes nothing, and so does a dialog after which another engine runs.
// - "retry" and "menu": the launcher page is loaded again and a new engine started (with its model menu for "menu").
// - "quit": the launcher ends.
// "choose" and "locate" do nothing without an engine.
void on_page_message(const std::string& json_text);
