#include "desktop/close_prompt.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "common/user_settings.h"
#include "desktop/launcher_state.h"
#include "desktop/program_icon.h"

namespace {

enum prompt_response { keep_running = 100, stop_mivra = 101 };

const char* const css = R"CSS(
.mivra-prompt { background-color: #F5F3EE; }
.mivra-prompt .question { font-size: 17px; font-weight: 600; color: #26231f; }
.mivra-prompt button.choice { padding: 10px 14px; border-radius: 8px; background: #fffdf9; background-image: none;
  border: 1px solid #e3ded3; box-shadow: none; }
.mivra-prompt button.choice:hover { border-color: #2f6f5e; background: #f7fbf9; }
.mivra-prompt button.choice:focus { border-color: #2f6f5e; }
.mivra-prompt .choice-title { font-size: 15px; font-weight: 600; color: #2f6f5e; }
.mivra-prompt .choice-note { font-size: 12px; color: #6b655b; }
)CSS";

GtkWidget* choice_button(GtkWidget* dialog, const char* title, const char* note, int response) {
    GtkWidget* button = gtk_button_new();
    gtk_style_context_add_class(gtk_widget_get_style_context(button), "choice");
    GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
    GtkWidget* first = gtk_label_new(title);
    GtkWidget* second = gtk_label_new(note);
    gtk_style_context_add_class(gtk_widget_get_style_context(first), "choice-title");
    gtk_style_context_add_class(gtk_widget_get_style_context(second), "choice-note");
    for (GtkWidget* label : {first, second}) {
        gtk_label_set_xalign(GTK_LABEL(label), 0);
        gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
        gtk_box_pack_start(GTK_BOX(lines), label, FALSE, FALSE, 0);
    }
    gtk_container_add(GTK_CONTAINER(button), lines);
    g_signal_connect_swapped(button, "clicked", G_CALLBACK(+[](GtkDialog* d, GtkWidget* b) {
                                 gtk_dialog_response(d, GPOINTER_TO_INT(g_object_get_data(G_OBJECT(b), "response")));
                             }),
                             dialog);
    g_object_set_data(G_OBJECT(button), "response", GINT_TO_POINTER(response));
    return button;
}

// The prompt; its response and whether "Don't ask again" was ticked.
int run_prompt(bool& dont_ask) {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), "Mivra");
    if (launcher.window) gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(launcher.window));
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(dialog), 440, -1);
    GtkCssProvider* style = gtk_css_provider_new();
    gtk_css_provider_load_from_data(style, css, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(dialog), GTK_STYLE_PROVIDER(style),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(style);
    gtk_style_context_add_class(gtk_widget_get_style_context(dialog), "mivra-prompt");

    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
    gtk_container_set_border_width(GTK_CONTAINER(body), 18);
    GtkWidget* head = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    if (GdkPixbuf* icon = program_icon_pixbuf()) {
        GdkPixbuf* small = gdk_pixbuf_scale_simple(icon, 40, 40, GDK_INTERP_BILINEAR);
        gtk_box_pack_start(GTK_BOX(head), gtk_image_new_from_pixbuf(small), FALSE, FALSE, 0);
        g_object_unref(small);
        g_object_unref(icon);
    }
    GtkWidget* question = gtk_label_new("Keep Mivra running?");
    gtk_style_context_add_class(gtk_widget_get_style_context(question), "question");
    gtk_box_pack_start(GTK_BOX(head), question, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(body), head, FALSE, FALSE, 4);

    GtkWidget* keep = choice_button(dialog, "Keep running in the background",
                                    "The model stays loaded; open Mivra again from the icon in the system tray.",
                                    keep_running);
    GtkWidget* stop = choice_button(dialog, "Stop Mivra", "Unloads the model and frees its memory.", stop_mivra);
    gtk_box_pack_start(GTK_BOX(body), keep, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(body), stop, FALSE, FALSE, 0);
    GtkWidget* check = gtk_check_button_new_with_label("Don't ask again");
    gtk_box_pack_start(GTK_BOX(body), check, FALSE, FALSE, 6);
    gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), body, TRUE, TRUE, 0);

    gtk_widget_set_can_default(keep, TRUE);
    gtk_widget_show_all(dialog);
    gtk_widget_grab_default(keep);
    gtk_widget_grab_focus(keep);
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    dont_ask = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check));
    gtk_widget_destroy(dialog);
    return response;
}

void on_notified(GObject* source, GAsyncResult* result, gpointer) {
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply) g_variant_unref(reply);
}

void on_session_bus(GObject*, GAsyncResult* result, gpointer data) {
    auto* icon = static_cast<std::string*>(data);
    GDBusConnection* bus = g_bus_get_finish(result, nullptr);
    if (bus) {
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("mivra-desktop"));
        static const char* const no_actions[] = {nullptr};
        g_dbus_connection_call(
            bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
            "Notify",
            g_variant_new("(susss^asa{sv}i)", "Mivra", 0u, icon->c_str(), "Mivra is still running",
                          "The model stays loaded. Click the Mivra icon in the system tray to open it or to stop it.",
                          no_actions, &hints, -1),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, on_notified, nullptr);
        g_object_unref(bus);
    }
    delete icon;
}

}  // namespace

std::filesystem::path desktop_settings_file() { return user_settings_file("desktop"); }

bool ask_keep_running() {
    const std::string stored = read_user_setting(desktop_settings_file(), "on_close");
    if (stored == "tray") return true;
    if (stored == "quit") return false;
    bool dont_ask = false;
    const int response = run_prompt(dont_ask);
    if (response != keep_running && response != stop_mivra) return true;  // Esc, the close box: nothing stored
    if (dont_ask) {
        try {
            write_user_setting(desktop_settings_file(), "on_close", response == keep_running ? "tray" : "quit");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mivra-desktop: %s\n", e.what());
        }
    }
    return response == keep_running;
}

void show_still_running_balloon() {
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, on_session_bus, new std::string(ensure_program_icon_file().string()));
}
