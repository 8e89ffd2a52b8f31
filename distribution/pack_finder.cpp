#include "distribution/pack_finder.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/file_helpers.h"
#include "distribution/launcher_events.h"
#include "distribution/pull_state.h"
#include "platform/mount_table.h"
#include "platform/user_dirs.h"
#include "platform/folders.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Folder names (lower-cased) the search never enters, besides every name that begins with "." or "$".
const char* const skip_folder_names[] = {"windows",  "program files", "program files (x86)",
                                         "programdata", "appdata", "$recycle.bin",
                                         "system volume information", "recovery", "msocache",
                                         "perflogs", "node_modules", ".git", "windowsapps"};

std::string ascii_lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool is_skipped_name(const std::string& lowered) {
    if (lowered.empty() || lowered[0] == '.' || lowered[0] == '$') return true;
    return std::any_of(std::begin(skip_folder_names), std::end(skip_folder_names),
                       [&](const char* name) { return lowered == name; });
}

// A member that is present but no string: the folder's files are not what this program writes.
bool has_non_string(const json& doc, const char* name) {
    if (!doc.is_object()) return false;
    auto it = doc.find(name);
    return it != doc.end() && !it->is_string();
}

bool has_malformed_clues(const fs::path& folder) {
    return has_non_string(read_json_file(folder / "manifest.json"), "source") ||
           has_non_string(read_json_file(folder / pull_state_name), "repo");
}

struct pack_search {
    const std::vector<catalog_entry>& catalog;
    const std::vector<fs::path>& excluded;
    std::map<std::string, std::vector<fs::path>> found;  // id -> complete packs, in the order found
};

bool is_excluded(const pack_search& search, const fs::path& folder) {
    return std::find(search.excluded.begin(), search.excluded.end(), folder) != search.excluded.end();
}

void scan_for_packs(pack_search& search, const fs::path& folder, int depth) {
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        std::error_code type_ec;
        if (!fs::is_directory(entry, type_ec)) continue;  // follows links
        if (is_skipped_name(ascii_lower(entry.filename().string())) || is_excluded(search, entry)) continue;
        if (is_pack_folder(entry)) {
            if (has_malformed_clues(entry)) continue;
            const std::string id = identify_pack(entry, search.catalog);
            bool partial = true;
            try {
                partial = has_partial_files(entry);
            } catch (const fs::filesystem_error&) {
                // A folder that cannot be read through is no usable copy.
            }
            if (!id.empty() && !partial) search.found[id].push_back(entry);
            continue;  // a pack folder is never entered
        }
        if (depth < 2) scan_for_packs(search, entry, depth + 1);
    }
}

}  // namespace

bool is_pack_folder(const fs::path& folder) {
    const json manifest = read_json_file(folder / "manifest.json");
    if (!manifest.is_object()) return false;
    auto it = manifest.find("format");
    if (it == manifest.end() || !it->is_string()) return false;
    const std::string& format = it->get_ref<const std::string&>();
    return format == "mivra-pack-1" || format == "miva-pack-1";
}

bool has_partial_files(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return false;
    for (const fs::directory_iterator end; it != end;) {
        if (it->path().filename().extension() == ".part") return true;
        it.increment(ec);
        if (ec) throw fs::filesystem_error("directory_iterator::operator++", folder, ec);
    }
    return false;
}

bool is_complete_pack(const fs::path& folder) { return is_pack_folder(folder) && !has_partial_files(folder); }

std::string normalise_model_name(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += c;
        }
    }
    return out;
}

std::string identify_pack(const fs::path& folder, const std::vector<catalog_entry>& catalog) {
    const std::string repo = json_string_or_empty(read_json_file(folder / pull_state_name), "repo");
    for (const catalog_entry& e : catalog) {
        if (repo == e.repo || repo.compare(0, e.repo.size() + 1, e.repo + "@") == 0) return e.id;
    }
    const std::string source = json_string_or_empty(read_json_file(folder / "manifest.json"), "source");
    // The blank keeps a match from spanning the source and the folder name.
    const std::string clues = normalise_model_name(source) + " " + normalise_model_name(folder.filename().string());
    for (const catalog_entry& e : catalog) {
        const std::string id = normalise_model_name(e.id);
        if (!id.empty() && clues.find(id) != std::string::npos) return e.id;
    }
    return "";
}

fs::path resolve_model_folder(const fs::path& models_dir, const std::string& id, const model_links& links) {
    const fs::path standard = models_dir / id;
    if (is_complete_pack(standard)) return standard;
    auto it = links.find(id);
    if (it != links.end() && is_complete_pack(fs::path(it->second))) return fs::path(it->second);
    return standard;
}

pack_search_area pc_search_area() {
    pack_search_area area;
    area.roots.push_back(program_folder());
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    if (!ec) area.roots.push_back(here);
    area.roots.push_back(xdg_user_dir("DOWNLOAD", "Downloads"));
    area.roots.push_back(xdg_user_dir("DOCUMENTS", "Documents"));
    area.roots.push_back(xdg_user_dir("DESKTOP", "Desktop"));
    for (const fs::path& p : local_disk_mount_points()) area.roots.push_back(p);
    area.roots.push_back(home_folder());
    for (const mount_entry& m : read_mount_table()) {
        if (!is_local_disk_mount(m)) area.excluded.push_back(fs::path(m.mount_point));
    }
    return area;
}

void locate_packs_in(const std::vector<catalog_entry>& catalog, const fs::path& models_dir, model_links& links,
                     const pack_search_area& area) {
    std::vector<const catalog_entry*> missing;
    for (const catalog_entry& e : catalog) {
        const bool listed = std::any_of(missing.begin(), missing.end(), [&](auto* m) { return m->id == e.id; });
        if (!listed && !is_complete_pack(resolve_model_folder(models_dir, e.id, links))) missing.push_back(&e);
    }
    if (missing.empty()) return;

    pack_search search{catalog, area.excluded, {}};
    for (const fs::path& root : area.roots) {
        std::error_code ec;
        if (fs::is_directory(root, ec)) scan_for_packs(search, root, 1);
    }

    bool linked = false;
    for (const catalog_entry* e : missing) {
        auto it = search.found.find(e->id);
        if (it == search.found.end()) continue;
        const std::vector<fs::path>& copies = it->second;
        auto pulled = std::find_if(copies.begin(), copies.end(), [](const fs::path& f) {
            std::error_code ec;
            return fs::exists(f / pull_state_name, ec);
        });
        const std::string folder = (pulled != copies.end() ? *pulled : copies.front()).string();
        links[e->id] = folder;
        linked = true;
        if (gui_mode) {
            emit_json_line(gui_note_event("Found " + e->name + " already on this PC (" + folder +
                                          "). Mivra uses it from there; nothing is downloaded."));
        } else {
            const std::string line = "  Found " + e->name + " already on this PC in " + folder + "; using it from there.\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
    }
    if (linked) write_links(models_dir, links);
}

void locate_packs_on_pc(const std::vector<catalog_entry>& catalog, const fs::path& models_dir, model_links& links) {
    locate_packs_in(catalog, models_dir, links, pc_search_area());
}
