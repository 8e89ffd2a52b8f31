// What closing the window means: hide it and keep the model loaded, or quit. UI thread only.
#pragma once

// True when the window is to be hidden and the engine kept running, false when the launcher is to quit. There is no
// prompt and no stored answer in this build yet: closing the window quits.
bool ask_keep_running();

// Tells the user, once per run, that the launcher still runs after its window was hidden. Nothing in this build yet.
void show_still_running_balloon();
