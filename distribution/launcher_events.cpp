#include "distribution/launcher_events.h"

#include <cstdio>

#include "common/program_version.h"

using nlohmann::json;

bool gui_mode = false;

std::string json_line_text(const json& event) {
    return event.dump(-1, ' ', false, json::error_handler_t::replace);
}

void emit_json_line(const json& event) {
    std::string line = json_line_text(event);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

json gui_models_event(const std::vector<menu_item>& items, size_t choice, const std::vector<std::string>& too_new) {
    json rows = json::array();
    for (size_t i = 0; i < items.size(); ++i) {
        const menu_item& m = items[i];
        rows.push_back({{"id", m.id},
                        {"name", m.name},
                        {"about", m.about},
                        {"gb", m.download_gb},
                        {"ram", m.min_ram_gb},
                        {"installed", m.installed},
                        {"ready", m.ready},
                        {"recommended", m.recommended},
                        {"default", i == choice}});
    }
    return {{"type", "models"}, {"items", rows}, {"too_new", too_new}, {"version", program_version}};
}

json gui_auto_event(const std::string& id) { return {{"type", "auto"}, {"id", id}}; }

json gui_located_event(bool ok, const std::string& id, const std::string& text) {
    return {{"type", "located"}, {"ok", ok}, {"id", id}, {"text", text}};
}

json gui_note_event(const std::string& text) { return {{"type", "note"}, {"text", text}}; }

json gui_status_event(const std::string& id, const std::string& text, bool downloading) {
    json e = {{"type", "status"}, {"id", id}, {"text", text}};
    if (downloading) e["downloading"] = true;
    return e;
}

json gui_download_event(uint64_t files, uint64_t need) {
    return {{"type", "download"}, {"files", files}, {"need", need}};
}

json gui_progress_event(const std::string& file, uint64_t done, uint64_t total, uint64_t rate, uint64_t all_done,
                        uint64_t all_total) {
    return {{"type", "progress"}, {"file", file},         {"done", done},          {"total", total},
            {"rate", rate},       {"all_done", all_done}, {"all_total", all_total}};
}

json gui_starting_event(const std::string& id, const std::string& name) {
    return {{"type", "starting"}, {"id", id}, {"name", name}};
}

json gui_error_event(const std::string& text) { return {{"type", "error"}, {"text", text}}; }
