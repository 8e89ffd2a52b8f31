#include "desktop/tray_icon.h"

#include <libayatana-appindicator/app-indicator.h>

#include "desktop/engine_process.h"
#include "desktop/engine_relay.h"
#include "desktop/launcher_state.h"
#include "desktop/launcher_window.h"
#include "desktop/program_icon.h"
#include "desktop/shell_entries.h"
#include "desktop/ui_post.h"
#include "platform/shell_open.h"

namespace {

struct tray_rows {
    AppIndicator* indicator = nullptr;
    GtkWidget* menu = nullptr;
    GtkWidget* open_in_browser = nullptr;
    GtkWidget* switch_model = nullptr;
    GtkWidget* autostart = nullptr;
    GtkWidget* quit = nullptr;
    bool updating = false;  // the check mark is being set from the state, not by the user
};

tray_rows tray;

GtkWidget* add_row(const char* text, void (*action)()) {
    GtkWidget* item = gtk_menu_item_new_with_label(text);
    g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                         run_guarded("tray menu", [data] { reinterpret_cast<void (*)()>(data)(); });
                     }),
                     reinterpret_cast<gpointer>(action));
    gtk_menu_shell_append(GTK_MENU_SHELL(tray.menu), item);
    return item;
}

void add_separator() { gtk_menu_shell_append(GTK_MENU_SHELL(tray.menu), gtk_separator_menu_item_new()); }

void open_in_browser() { open_url(chat_page_address); }

void switch_model() {
    bring_to_front();
    show_launcher_page();
    start_engine(true);
}

void toggle_autostart(GtkCheckMenuItem*, gpointer) {
    if (tray.updating) return;
    run_guarded("tray menu", [] {
        set_autostart(!autostart_enabled());
        update_tray_menu();
    });
}

}  // namespace

void add_tray_icon() {
    if (tray.indicator) return;
    const std::filesystem::path icon = ensure_program_icon_file();
    tray.indicator = app_indicator_new_with_path("mivra-desktop", icon.stem().c_str(),
                                                 APP_INDICATOR_CATEGORY_APPLICATION_STATUS,
                                                 icon.parent_path().c_str());
    app_indicator_set_title(tray.indicator, "Mivra");
    tray.menu = gtk_menu_new();
    add_row("Open Mivra", [] { bring_to_front(); });
    tray.open_in_browser = add_row("Open in browser", open_in_browser);
    add_separator();
    tray.switch_model = add_row("Switch model…", switch_model);
    tray.autostart = gtk_check_menu_item_new_with_label("Start at login (loads the model at sign-in)");
    g_signal_connect(tray.autostart, "toggled", G_CALLBACK(toggle_autostart), nullptr);
    gtk_menu_shell_append(GTK_MENU_SHELL(tray.menu), tray.autostart);
    add_separator();
    tray.quit = add_row("Stop Mivra and quit", [] { quit_launcher(); });
    g_signal_connect(tray.menu, "show", G_CALLBACK(+[](GtkWidget*, gpointer) {
                         run_guarded("tray menu", [] { update_tray_menu(); });
                     }),
                     nullptr);
    gtk_widget_show_all(tray.menu);
    update_tray_menu();
    app_indicator_set_menu(tray.indicator, GTK_MENU(tray.menu));
    app_indicator_set_status(tray.indicator, APP_INDICATOR_STATUS_ACTIVE);
}

void update_tray_menu() {
    if (!tray.indicator) return;
    gtk_widget_set_sensitive(tray.open_in_browser, launcher.ready);
    gtk_widget_set_sensitive(tray.switch_model, !launcher.external_server);
    gtk_menu_item_set_label(GTK_MENU_ITEM(tray.quit),
                            launcher.external_server ? "Close Mivra Desktop" : "Stop Mivra and quit");
    const bool on = autostart_enabled();
    if (gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(tray.autostart)) != on) {
        tray.updating = true;
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(tray.autostart), on);
        tray.updating = false;
    }
}

void remove_tray_icon() {
    if (!tray.indicator) return;
    app_indicator_set_status(tray.indicator, APP_INDICATOR_STATUS_PASSIVE);
    g_object_unref(tray.indicator);
    tray = {};
}
