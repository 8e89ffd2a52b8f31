#include "desktop/engine_relay.h"

#include <nlohmann/json.hpp>

#include "desktop/engine_process.h"
#include "desktop/launcher_state.h"
#include "desktop/launcher_window.h"
#include "desktop/tray_icon.h"

using json = nlohmann::json;

const char* const chat_page_address = "http://127.0.0.1:8080/";

namespace {

std::string compact(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

std::string start_failure_message() {
    return compact({{"type", "error"}, {"text", engine_start_failure_text}});
}

std::string exited_message(int code) {
    return compact({{"type", "exited"}, {"code", code}, {"log", engine_log_path().string()}});
}

void on_engine_line(const std::string& line) {
    const json event = json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) return;
    const auto type = event.find("type");
    if (type != event.end() && !type->is_string()) return;
    if (type != event.end() && type->get_ref<const std::string&>() == "starting") start_health_poller();
    post_to_page(line);
}

void post_to_page(const std::string& json_text) {
    if (!launcher.page.exists() || launcher.ready) return;
    if (launcher.page_ready) {
        launcher.page.post(json_text);
    } else {
        launcher.pending_page_messages.push_back(json_text);
    }
}

void flush_page_messages() {
    while (!launcher.pending_page_messages.empty()) {
        const std::string text = std::move(launcher.pending_page_messages.front());
        launcher.pending_page_messages.pop_front();
        if (launcher.page.exists()) launcher.page.post(text);
    }
}

void on_engine_ready() {
    launcher.ready = true;
    update_tray_menu();
    launcher.pending_page_messages.clear();
    if (launcher.page.exists()) launcher.page.navigate(chat_page_address);
}

void show_launcher_page() {
    launcher.ready = false;
    update_tray_menu();
    launcher.page_ready = false;
    if (launcher.page.exists()) launcher.page.load_launcher_page();
}

void on_engine_exited(int code) {
    if (launcher.quitting) return;
    if (launcher.ready) {
        show_launcher_page();
        bring_to_front();
    }
    post_to_page(exited_message(code));
}
