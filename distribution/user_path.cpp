#include "distribution/user_path.h"

#include <stdexcept>

#include "common/file_helpers.h"
#include "platform/login_path.h"
#include "common/user_settings.h"

std::string path_entry_key(const std::string& entry) {
    std::string key = entry;
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
}

user_path_edit edit_user_path(const std::string& path, const std::string& dir, const std::string& old, bool on,
                              const std::vector<std::string>& system_entries) {
    const std::string dir_key = path_entry_key(dir);
    const std::string old_key = path_entry_key(old);
    std::vector<std::string> kept;
    bool changed = false, present = false;

    size_t start = 0;
    for (;;) {
        size_t end = path.find(':', start);
        std::string piece = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string key = path_entry_key(piece);
        if (piece.empty()) {
            // dropped, but not a change by itself
        } else if (!old.empty() && key == old_key && key != dir_key) {
            changed = true;  // left from an earlier program folder
        } else if (key == dir_key) {
            if (on) {
                kept.push_back(piece);
                present = true;
            } else {
                changed = true;
            }
        } else {
            kept.push_back(piece);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }

    if (on && !present) {
        bool on_system_path = false;
        for (const std::string& e : system_entries) on_system_path = on_system_path || path_entry_key(e) == dir_key;
        if (!on_system_path) {
            kept.push_back(dir);
            changed = true;
        }
    }

    user_path_edit result;
    result.changed = changed;
    for (const std::string& e : kept) {
        if (!result.path.empty()) result.path += ':';
        result.path += e;
    }
    if (!changed) result.path = path;
    return result;
}

bool set_user_path(bool on, bool explicit_request, std::string* error) {
    auto note = [&](const std::string& text) {
        if (error && error->empty()) *error = text;
    };
    const auto settings = user_settings_file(mivra_settings_program);
    if (on && !explicit_request && read_user_setting(settings, "PathOff") == "1") return false;

    const std::string dir = path_entry_key(program_folder().string());
    const std::string old = path_entry_key(read_user_setting(settings, "PathDir"));

    bool changed = false;
    try {
        if (on && dir.find(':') != std::string::npos)
            throw std::runtime_error("cannot put " + dir + " on the PATH: the folder name holds ':'");
        const auto profile = login_profile_file();
        user_path_edit edit = edit_user_path(read_login_path(profile), dir, old, on,
                                             on ? system_path_entries() : std::vector<std::string>());
        if (edit.changed) {
            write_login_path(profile, edit.path);
            changed = true;
        }
    } catch (const std::exception& e) {
        note(e.what());
    }

    for (const auto& [name, value] : {std::pair<const char*, std::string>{"PathDir", on ? dir : ""},
                                      std::pair<const char*, std::string>{"PathOff", on ? "0" : "1"}}) {
        try {
            write_user_setting(settings, name, value);
        } catch (const std::exception& e) {
            note(e.what());
        }
    }
    return changed;
}
