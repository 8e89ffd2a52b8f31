#include "desktop/launcher_window.h"

#include <gtk/gtk.h>

#include <algorithm>

#include "desktop/close_prompt.h"
#include "desktop/engine_process.h"
#include "desktop/launcher_state.h"
#include "desktop/program_icon.h"
#include "desktop/tray_icon.h"
#include "desktop/ui_post.h"

namespace {

// The class brush of the window, the same colour as the web view's background and the launcher page.
const char* const window_style = "window.mivra-launcher { background-color: #F5F3EE; }";

GtkWindow* main_window() { return launcher.window ? GTK_WINDOW(launcher.window) : nullptr; }

window_rect primary_work_area() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!monitor && display) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return {0, 0, 1320, 860};
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    return {area.x, area.y, area.width, area.height};
}

gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer) {
    run_guarded("close", [] { on_close_requested(); });
    return TRUE;  // the window is hidden or destroyed by on_close_requested, never by GTK's default
}

void on_destroy(GtkWidget*, gpointer) {
    run_guarded("destroy", [] { on_window_destroyed(); });
}

}  // namespace

window_rect initial_window_rect(const window_rect& work_area) {
    window_rect r;
    r.width = std::min(work_area.width - 40, 1280);
    r.height = std::min(work_area.height - 40, 820);
    r.x = work_area.x + (work_area.width - r.width) / 2;
    r.y = work_area.y + (work_area.height - r.height) / 2;
    return r;
}

void create_launcher_window() {
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    launcher.window = window;
    gtk_window_set_title(GTK_WINDOW(window), "Mivra");

    const window_rect place = initial_window_rect(primary_work_area());
    gtk_window_set_default_size(GTK_WINDOW(window), place.width, place.height);
    gtk_window_move(GTK_WINDOW(window), place.x, place.y);
    GdkGeometry hints{};
    hints.min_width = 520;
    hints.min_height = 460;
    gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &hints, GDK_HINT_MIN_SIZE);

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, window_style, -1, nullptr);
    GtkStyleContext* style = gtk_widget_get_style_context(window);
    gtk_style_context_add_provider(style, GTK_STYLE_PROVIDER(css), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    gtk_style_context_add_class(style, "mivra-launcher");
    g_object_unref(css);

    if (GdkPixbuf* icon = program_icon_pixbuf()) {
        gtk_window_set_icon(GTK_WINDOW(window), icon);
        g_object_unref(icon);
    }

    g_signal_connect(window, "delete-event", G_CALLBACK(on_delete_event), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(on_destroy), nullptr);
}

void bring_to_front() {
    GtkWindow* window = main_window();
    if (!window) return;
    GdkWindow* surface = gtk_widget_get_window(launcher.window);
    if (surface && (gdk_window_get_state(surface) & GDK_WINDOW_STATE_ICONIFIED)) gtk_window_deiconify(window);
    gtk_widget_show(launcher.window);
    gtk_window_present(window);
}

void on_close_requested() {
    if (!launcher.window) return;
    if (!launcher.quitting && ask_keep_running()) {
        gtk_widget_hide(launcher.window);
        if (!launcher.balloon_shown) {
            show_still_running_balloon();
            launcher.balloon_shown = true;
        }
        return;
    }
    quit_launcher();
}

void quit_launcher() {
    if (!launcher.window) return;
    launcher.quitting = true;
    gtk_widget_destroy(launcher.window);
}

void on_window_destroyed() {
    launcher.quitting = true;
    remove_tray_icon();
    // The web view goes with the window: nothing may reach it any more.
    launcher.page = {};
    launcher.web_view = nullptr;
    stop_engine();
    launcher.window = nullptr;
    gtk_main_quit();
}
