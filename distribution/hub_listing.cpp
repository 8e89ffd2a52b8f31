#include "distribution/hub_listing.h"

#include <stdexcept>

#include "distribution/pull_state.h"

using nlohmann::json;

namespace {

constexpr size_t max_name_bytes = 250;  // + ".part" = 255, the longest file name of common file systems

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A name that would collide with the pull's own files (part files, .tmp files, the state file) or is no file name.
bool is_plain_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && !ends_with(name, ".part") && !ends_with(name, ".tmp") &&
           name != pull_state_name && name.find('\0') == std::string::npos;
}

}  // namespace

hub_listing read_hub_listing(const json& listing, bool lowbit) {
    hub_listing out;
    for (const json& element : listing) {
        if (element.value("type", std::string()) != "file") continue;
        const std::string path = element.at("path").get<std::string>();
        if (path.find('/') != std::string::npos || path == ".gitattributes" || path == "hot.bin") continue;
        if (path.find("experts.lo") != std::string::npos && !(lowbit && path == "experts.lo.bin")) continue;
        if (!is_plain_file_name(path)) {
            out.odd_names.push_back(path);
            continue;
        }
        if (path.size() > max_name_bytes) {
            out.long_names.push_back(path);
            continue;
        }
        download_file file;
        file.path = path;
        file.size = element.at("size").get<int64_t>();
        const auto lfs = element.find("lfs");
        if (lfs != element.end() && lfs->is_object()) {
            file.lfs_sha256 = lfs->at("oid").get<std::string>();
            if (lfs->contains("size")) file.size = lfs->at("size").get<int64_t>();
        } else {
            file.git_oid = element.at("oid").get<std::string>();
        }
        if (file.size < 0) throw std::runtime_error(path + ": negative size in the Hub listing");
        if (path == "manifest.json") out.has_manifest = true;
        if (path == "experts.lo.bin") out.has_lowbit = true;
        out.files.push_back(std::move(file));
    }
    return out;
}
