#include "distribution/cmd_start.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>
#include <vector>

#include "httplib.h"

#include "common/file_helpers.h"
#include "common/process_state.h"
#include "common/program_version.h"
#include "distribution/catalog.h"
#include "distribution/cmd_pull.h"
#include "distribution/download_file.h"
#include "distribution/launcher_events.h"
#include "distribution/pack_finder.h"
#include "distribution/pull_state.h"
#include "distribution/start_menu.h"
#include "distribution/update_notice.h"
#include "distribution/user_path.h"
#include "platform/shell_open.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int start_port = 8080;
constexpr const char* start_context = "12288";

bool env_set(const char* name) { return std::getenv(name) != nullptr; }

void print_text(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string one_decimal(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

bool health_answers(httplib::Client& client) {
    const httplib::Result res = client.Get("/health");
    return res && res->status == 200;
}

std::unique_ptr<httplib::Client> local_client(int port) {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port);
    client->set_connection_timeout(1, 0);
    client->set_read_timeout(2, 0);
    return client;
}

std::string local_url(int port) { return "http://127.0.0.1:" + std::to_string(port); }

// Console only: another copy already serves on the port. Prints where it is and opens it.
bool report_running_copy() {
    if (!health_answers(*local_client(start_port))) return false;
    print_text("  Mivra is already running: " + local_url(start_port) + "\n");
    if (!env_set("MIVRA_NO_BROWSER")) {
        print_text("  Opening it in your browser.\n");
        open_url(local_url(start_port));
    }
    print_text("\n  To stop it: close its window, use the Mivra icon in the system tray, or run:\n"
               "      pkill -x mivra\n\n");
    return true;
}

// The row to start: the launcher's choice or the console's. nullopt: the user ended the program.
std::optional<size_t> choose_row(menu_rows& rows, const menu_default& d, bool menu_flag,
                                 const std::vector<catalog_entry>& catalog, const fs::path& models_dir,
                                 model_links& links) {
    if (gui_mode) {
        std::vector<std::string> too_new;
        for (const catalog_entry& e : rows.too_new) too_new.push_back(e.name);
        emit_json_line(gui_models_event(rows.items, d.choice, too_new));
        if (!menu_flag && (d.single_ready || d.last_ready)) {
            emit_json_line(gui_auto_event(rows.items[d.choice].id));
            return d.choice;
        }
        return run_command_loop(rows.items, d.choice, catalog, models_dir, links, std::cin,
                                [](const json& event) { emit_json_line(event); });
    }
    if (d.single_ready) return 0;
    print_text(console_menu_text(rows.items, rows.too_new));
    return console_choose(d.choice, rows.items.size(), std::cin);
}

// Brings the chosen pack up to date (or downloads it). False when a pack that is not ready could not be fetched.
bool prepare_pack(const menu_item& row, const fs::path& folder) {
    const std::string name = row.name;
    const std::string where = folder.string();
    std::error_code ec;
    if (row.ready && !fs::exists(folder / pull_state_name, ec)) {
        emit_message("\n  Using " + name + " from " + where + ".\n", gui_note_event("Using " + name + " from " + where + "."));
        return true;
    }
    if (row.repo.empty()) return true;  // a pack the catalog does not know: nothing to check it against

    if (row.ready) {
        emit_message("\n  Checking " + name + " for updates...\n",
                     gui_status_event(row.id, "Checking " + name + " for updates", false));
    } else {
        emit_message("\n  Downloading " + name + " (" + one_decimal(row.download_gb) +
                         " GB). This can take a while.\n  If it stops, start Mivra again: it continues where it left off.\n\n",
                     gui_status_event(row.id, "Downloading " + name, true));
    }
    set_gui_progress(gui_mode);
    if (pull_pack(row.repo, where, false, false, true) == 0) return true;
    if (!row.ready) {
        emit_message("\n  The download did not finish. Check your internet connection and free disk space,\n"
                     "  then start Mivra again.\n",
                     gui_error_event("The download did not finish: " + last_pull_error +
                                     ". Check your internet connection and free disk space, then try again; it "
                                     "continues where it stopped."));
        return false;
    }
    const std::string offline = "Could not check for updates (offline?). Starting the copy you have.";
    emit_message("  " + offline + "\n", gui_note_event(offline));
    return true;
}

int serve_pack(const fs::path& folder, const serve_command_fn& serve) {
    std::vector<std::string> args = {"mivra", "serve", folder.string(), "-c", start_context};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return serve(static_cast<int>(args.size()), argv.data());
}

}  // namespace

fs::path start_models_dir() {
    const char* dir = std::getenv("MIVRA_MODELS_DIR");
    if (dir && dir[0]) return fs::path(dir);
    return program_folder() / "models";
}

void emit_message(const std::string& console_text, const json& event) {
    if (gui_mode) {
        emit_json_line(event);
    } else {
        print_text(console_text);
    }
}

void open_browser_when_ready(int port) {
    const std::unique_ptr<httplib::Client> client = local_client(port);
    for (int round = 0; round < 900; ++round) {
        if (health_answers(*client)) {
            open_url(local_url(port));
            return;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

int cmd_start(int argc, char** argv, const serve_command_fn& serve) {
    bool menu_flag = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gui") gui_mode = true;
        if (arg == "--menu") menu_flag = true;
    }
    const fs::path models_dir = start_models_dir();
    std::error_code ec;
    fs::create_directories(models_dir, ec);

    if (!gui_mode) {
        print_text(std::string("\n  Mivra ") + program_version + " - AI models on your own PC\n"
                   "  ------------------------------------\n\n");
        if (report_running_copy()) return 0;
        if (!env_set("MIVRA_NO_PATH") && set_user_path(true, false)) {
            print_text("  From now on you can start Mivra from any folder: open a new terminal and type  mivra start\n"
                       "  (undo with: mivra path off)\n\n");
        }
        print_text("  Checking the list of models...\n");
    } else if (!env_set("MIVRA_NO_PATH")) {
        set_user_path(true, false);
    }

    const std::vector<catalog_entry> catalog = load_catalog();
    print_update_note();
    model_links links = read_links(models_dir);
    locate_packs_on_pc(catalog, models_dir, links);

    menu_rows rows = build_menu_rows(catalog, models_dir, links);
    if (rows.items.empty()) {
        emit_message("\n  No models are available for this version of Mivra.\n",
                     gui_error_event("No models are available for this version of Mivra."));
        return 1;
    }
    const menu_default defaults = pick_default(rows.items, read_last_model(models_dir));
    const std::optional<size_t> chosen = choose_row(rows, defaults, menu_flag, catalog, models_dir, links);
    if (!chosen) return 0;

    const menu_item& row = rows.items[*chosen];
    const fs::path folder = row.folder.empty() ? models_dir / row.id : row.folder;
    if (!prepare_pack(row, folder)) return 1;

    write_last_model(models_dir, row.id);
    emit_message("\n  Starting " + row.name +
                     ". Your browser opens the chat page when it is ready (about a minute).\n"
                     "  Keep this window open while you chat. Close it to stop Mivra.\n\n",
                 gui_starting_event(row.id, row.name));

    // The launcher shows the page itself.
    if (!gui_mode && !env_set("MIVRA_NO_BROWSER")) std::thread(open_browser_when_ready, start_port).detach();

    const int result = serve_pack(folder, serve);
    if (result != 0) {
        emit_message("\n  Mivra could not start. If it is already running in another window, use that one:\n"
                     "  http://127.0.0.1:8080\n",
                     gui_error_event("Mivra could not start the model. If Mivra is already running, close it from "
                                     "its tray icon or with System Monitor, then try again."));
    }
    return result;
}
