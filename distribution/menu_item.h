// One row of the model menu of `start`: a catalog model (or a pack the catalog does not know) with the folder of
// its pack and whether that pack is there. A plain value; owned by the start command.
#pragma once

#include <filesystem>
#include <string>

struct menu_item {
    std::string id;
    std::string name;
    std::string repo;
    std::string about;
    std::string min_mivra = "0";
    double download_gb = 0;
    double min_ram_gb = 0;
    bool recommended = false;
    std::filesystem::path folder;  // pack folder; empty: the models folder joined with the id
    bool installed = false;  // the folder holds manifest.json or a pull state
    bool ready = false;      // manifest.json and no unfinished download
};
