#include "desktop/launcher_main.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "desktop/health_probe.h"
#include "desktop/launcher_state.h"
#include "desktop/launcher_window.h"
#include "desktop/shell_entries.h"
#include "desktop/single_instance.h"
#include "desktop/tray_icon.h"
#include "desktop/ui_post.h"
#include "desktop/web_view_host.h"
#include "platform/signals.h"

namespace {

// The WM_CLASS of the window, which the desktop uses to tie the window to the launcher's menu entry.
const char* const window_class = "mivra-desktop";

// The end of the session (SIGHUP, SIGTERM) or Ctrl-C ends the launcher as its quit command does, so the engine's
// whole process group goes with it.
gboolean on_stop_signal(gpointer) {
    run_guarded("stop signal", [] { quit_launcher(); });
    return G_SOURCE_CONTINUE;
}

bool asks_for_tray(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).find("--tray") != std::string::npos) return true;
    }
    return false;
}

int run_launcher(int argc, char** argv) {
    ignore_sigpipe();
    launcher.launcher_folder = launcher_dir();
    launcher.data_folder = data_dir();
    if (claim_single_instance() == instance_role::second) return 0;

    g_set_prgname(window_class);
    g_set_application_name("Mivra");
    const bool tray = asks_for_tray(argc, argv);
    if (!gtk_init_check(&argc, &argv)) {
        std::fputs("mivra-desktop: cannot open the display\n", stderr);
        return 1;
    }
    gdk_set_program_class(window_class);  // after the initialisation, which sets its own from the program name

    create_launcher_window();
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) g_unix_signal_add(sig, on_stop_signal, nullptr);
    serve_activation_requests();
    add_tray_icon();
    ensure_menu_entry();
    launcher.external_server = probe_health();
    update_tray_menu();
    if (!tray) gtk_widget_show(launcher.window);
    create_web_view();
    gtk_main();
    return 0;
}

}  // namespace

int launcher_main(int argc, char** argv) {
    try {
        return run_launcher(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mivra-desktop: %s\n", e.what());
        return 1;
    }
}
