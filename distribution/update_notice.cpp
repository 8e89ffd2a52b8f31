#include "distribution/update_notice.h"

#include <cstdio>
#include <mutex>

#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/program_version.h"
#include "distribution/catalog_source.h"
#include "distribution/launcher_events.h"

using nlohmann::json;

namespace {

bool is_newer_than_program(const std::string& latest) {
    return !latest.empty() && compare_versions(latest, program_version) > 0;
}

}  // namespace

void print_update_note() {
    const json& info = catalog_update_info;
    if (!info.is_object()) return;
    const std::string latest = json_string_or_empty(info, "latest");
    if (!is_newer_than_program(latest)) return;
    const std::string url = json_string_or_empty(info, "url");
    const std::string notes = json_string_or_empty(info, "notes");
    const std::string version = program_version;
    const std::string download = url.empty() ? "Download it from the Mivra website." : "Download it from " + url;

    if (gui_mode) {
        emit_json_line(gui_note_event("Mivra " + latest + " is available (you have " + version + "). " + download));
        return;
    }
    std::string text = "  Mivra " + latest + " is available (you have " + version + ")" +
                       (notes.empty() ? "" : ": " + notes) + ".\n  " + download + "\n\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

json update_notice_from_catalog(std::string body) {
    if (body.size() >= 3 && body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
    json doc = json::parse(body);
    // Looked at in place: the note may come from the network and be nested arbitrarily deep.
    static const json none;
    auto it = doc.is_object() ? doc.find("mivra") : doc.end();
    const json& info = it != doc.end() ? *it : none;
    const std::string latest = json_string_or_empty(info, "latest");
    if (!is_newer_than_program(latest)) return nullptr;
    return {{"latest", latest}, {"url", json_string_or_empty(info, "url")}, {"notes", json_string_or_empty(info, "notes")}};
}

json check_catalog_for_update(const std::string& source, const catalog_fetcher& fetch) {
    try {
        std::string body;
        if (source.compare(0, 8, "https://") == 0) {
            std::string error;
            if (!fetch || !fetch(source, body, error)) return nullptr;
        } else if (!read_catalog_file(source, body)) {
            return nullptr;
        }
        return update_notice_from_catalog(std::move(body));
    } catch (...) {
        return nullptr;
    }
}

std::string update_check_source() { return env_path_or_default("MIVRA_CATALOG", default_catalog_source()); }

void update_check_thread() {
    try {
        json notice = check_catalog_for_update(update_check_source(), fetch_catalog_text);
        if (notice.is_null()) return;
        std::lock_guard<std::mutex> lock(agent_state.agent_mutex);
        agent_state.update_notice = std::move(notice);
    } catch (...) {
        // The check is a courtesy: nothing it meets may disturb the server.
    }
}
