// The folder dialog of the launcher page's "Already have this model? Choose its folder". UI thread only.
#pragma once

#include <string>

// Shows a modal folder chooser over the launcher's window, titled "Choose the folder that has the model
// (manifest.json, core.gguf, experts.bin)"; the main loop runs while it is open. The chosen folder's full path, or ""
// when the user cancelled (Esc, Cancel, the close box) or picked nothing that is a local folder.
std::string choose_model_folder();
