// A project folder for the agent's tool tests, set as this thread's project_override while the fixture lives, with
// a folder beside it that lies outside the project.
#pragma once

#include <filesystem>
#include <string>

#include "common/process_state.h"
#include "fixtures/temp_folder.h"

struct project_tree {
    temp_folder dir;
    std::filesystem::path root = dir / "project";
    std::filesystem::path outside = dir / "elsewhere";

    project_tree() {
        std::filesystem::create_directories(root);
        std::filesystem::create_directories(outside);
        project_override = root.string();
    }
    ~project_tree() { project_override.clear(); }
    project_tree(const project_tree&) = delete;
    project_tree& operator=(const project_tree&) = delete;

    // Writes `text` to the file at `rel` below the project, making its folders.
    std::filesystem::path file(const std::string& rel, const std::string& text = "") const {
        const std::filesystem::path path = root / rel;
        std::filesystem::create_directories(path.parent_path());
        write_text(path, text);
        return path;
    }
    std::filesystem::path folder(const std::string& rel) const {
        std::filesystem::create_directories(root / rel);
        return root / rel;
    }
};
