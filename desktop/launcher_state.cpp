#include "desktop/launcher_state.h"

#include "common/file_helpers.h"
#include "platform/folders.h"

launcher_state launcher;

std::filesystem::path launcher_dir() { return program_folder(); }

std::filesystem::path data_dir() {
    std::filesystem::path folder = local_app_data_folder_path();
    if (folder.empty()) folder = launcher_dir();
    create_private_folders(folder);
    return folder;
}

std::filesystem::path engine_log_path() { return launcher.data_folder / "engine.log"; }
