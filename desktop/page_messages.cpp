#include "desktop/page_messages.h"

#include <nlohmann/json.hpp>

#include "desktop/engine_process.h"
#include "desktop/engine_relay.h"
#include "desktop/launcher_state.h"
#include "desktop/launcher_window.h"

using json = nlohmann::json;

namespace {

// The string member `name`: "" when it is missing, nullptr when it holds something else.
const std::string* string_member(const json& message, const char* name) {
    static const std::string empty;
    const auto found = message.find(name);
    if (found == message.end()) return &empty;
    return found->is_string() ? &found->get_ref<const std::string&>() : nullptr;
}

void locate(const std::string& id) {
    if (!launcher.engine_stdin.valid() || !launcher.page.choose_folder) return;
    const uint32_t generation = launcher.generation.load();
    const std::string folder = launcher.page.choose_folder();
    // The dialog runs the main loop: the engine may have ended or been replaced meanwhile (the tray's "Switch
    // model…"); its successor was not asked.
    if (folder.empty() || generation != launcher.generation.load()) return;
    send_engine_locate(id, folder);
}

}  // namespace

void on_page_message(const std::string& json_text) {
    const json message = json::parse(json_text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) return;
    const std::string* type = string_member(message, "type");
    if (!type) return;
    if (*type == "hello") {
        launcher.page_ready = true;
        launcher.page_said_hello = true;
        flush_page_messages();
        if (!launcher.engine && !launcher.external_server) start_engine(false);
    } else if (*type == "choose" || *type == "locate") {
        const std::string* id = string_member(message, "id");
        if (!id || !launcher.engine_stdin.valid()) return;
        if (*type == "choose") {
            send_engine_choice(*id);
        } else {
            locate(*id);
        }
    } else if (*type == "retry" || *type == "menu") {
        show_launcher_page();
        start_engine(*type == "menu");
    } else if (*type == "quit") {
        quit_launcher();
    }
}
