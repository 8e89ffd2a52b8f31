#include "desktop/web_view_host.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <string>

#include "desktop/engine_relay.h"
#include "desktop/folder_dialog.h"
#include "desktop/launcher_page.h"
#include "desktop/launcher_state.h"
#include "desktop/launcher_window.h"
#include "desktop/navigation_policy.h"
#include "desktop/page_messages.h"
#include "desktop/ui_post.h"
#include "platform/shell_open.h"

namespace {

// The page background, the same as the window's.
const GdkRGBA page_background = {245 / 255.0, 243 / 255.0, 238 / 255.0, 1.0};

const char* const fallback_text =
    "Mivra Desktop needs WebKitGTK, which comes with most Linux desktops but is missing or broken on this PC.\n\n"
    "Mivra will open in your browser instead. To get the app window, install the \"libwebkit2gtk-4.1-0\" package.";

std::string text_or_empty(const char* text) { return text ? text : ""; }

// Messages count only while the launcher page is what the view shows.
bool launcher_page_is_current(WebKitWebView* view) {
    return launcher.launcher_page_shown && !launcher.ready &&
           text_or_empty(webkit_web_view_get_uri(view)) == "about:blank";
}

void on_script_message(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    run_guarded("page message", [result] {
        WebKitWebView* view = launcher.web_view;
        if (!view || !launcher_page_is_current(view)) return;
        JSCValue* value = webkit_javascript_result_get_js_value(result);
        char* text = value ? jsc_value_to_json(value, 0) : nullptr;
        if (!text) return;
        const std::string message(text);
        g_free(text);
        on_page_message(message);
    });
}

// Refuses the navigation; hands it to the browser when the user asked for it and it is a web address.
void send_outside(WebKitNavigationAction* action, const std::string& uri) {
    if (webkit_navigation_action_is_user_gesture(action) && opens_in_browser(uri)) open_url(uri);
}

gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        return FALSE;  // responses: WebKit's own handling
    }
    bool keep = false;
    run_guarded("navigation", [&] {
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        WebKitURIRequest* request = webkit_navigation_action_get_request(action);
        const std::string uri = text_or_empty(webkit_uri_request_get_uri(request));
        keep = type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && stays_in_view(uri);
        if (!keep) send_outside(action, uri);
    });
    if (keep) {
        webkit_policy_decision_use(decision);
    } else {
        webkit_policy_decision_ignore(decision);
    }
    return TRUE;
}

// No page opens a window of its own (new-window requests are refused above; this is the second lock).
GtkWidget* on_create(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

void on_title_changed(WebKitWebView* view, GParamSpec*, gpointer) {
    if (!launcher.window) return;
    const std::string title = text_or_empty(webkit_web_view_get_title(view));
    gtk_window_set_title(GTK_WINDOW(launcher.window), title.empty() || title == "about:blank" ? "Mivra" : title.c_str());
}

void on_web_process_terminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer) {
    run_guarded("web process ended", [reason] {
        if (launcher.quitting) return;
        std::fprintf(stderr, "mivra-desktop: the web view's process ended (%s)\n",
                     reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "memory limit" : "crashed");
        if (!launcher.page_said_hello) {
            fall_back_to_browser();
        } else if (launcher.ready) {
            on_engine_ready();  // the chat page again
        } else {
            show_launcher_page();  // says "hello" again; the engine goes on
        }
    });
}

WebKitWebContext* make_web_context() {
    const std::string data = (launcher.data_folder / "webkit").string();
    const std::string cache = (launcher.data_folder / "webkit" / "cache").string();
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new(
        "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
    WebKitWebContext* context = webkit_web_context_new_with_website_data_manager(manager);
    g_object_unref(manager);
    return context;
}

void send_to_page(WebKitWebView* view, const std::string& json_text) {
    const std::string script = "window.__mivra_receive(" + json_text + ");";
    webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

}  // namespace

void create_web_view() {
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::mivra", G_CALLBACK(on_script_message), nullptr);
    webkit_user_content_manager_register_script_message_handler(content, "mivra");
    WebKitWebContext* context = make_web_context();
    WebKitWebView* view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content, nullptr));
    g_object_unref(context);
    g_object_unref(content);

    webkit_web_view_set_background_color(view, &page_background);
    WebKitSettings* settings = webkit_web_view_get_settings(view);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);

    g_signal_connect(view, "decide-policy", G_CALLBACK(on_decide_policy), nullptr);
    g_signal_connect(view, "create", G_CALLBACK(on_create), nullptr);
    g_signal_connect(view, "notify::title", G_CALLBACK(on_title_changed), nullptr);
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(on_web_process_terminated), nullptr);

    gtk_container_add(GTK_CONTAINER(launcher.window), GTK_WIDGET(view));
    gtk_widget_show(GTK_WIDGET(view));
    gtk_widget_grab_focus(GTK_WIDGET(view));

    launcher.web_view = view;
    launcher.page.post = [view](const std::string& json_text) { send_to_page(view, json_text); };
    launcher.page.load_launcher_page = [view] {
        launcher.launcher_page_shown = true;
        const std::string html = std::string(launcher_page_markup) + launcher_page_script;
        webkit_web_view_load_html(view, html.c_str(), "about:blank");
    };
    launcher.page.navigate = [view](const std::string& address) {
        launcher.launcher_page_shown = false;
        webkit_web_view_load_uri(view, address.c_str());
    };
    launcher.page.choose_folder = [] { return choose_model_folder(); };

    if (launcher.external_server) {
        on_engine_ready();
    } else {
        show_launcher_page();
    }
}

void fall_back_to_browser() {
    if (launcher.quitting) return;
    launcher.quitting = true;  // once: nothing else of the launcher runs on while the user reads the message
    GtkWindow* parent = launcher.window ? GTK_WINDOW(launcher.window) : nullptr;
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s",
                                               fallback_text);
    gtk_window_set_title(GTK_WINDOW(dialog), "Mivra");
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    if (char* terminal = g_find_program_in_path("x-terminal-emulator")) {
        start_detached({terminal, "-e", (launcher.launcher_folder / "mivra").string(), "start"});
        g_free(terminal);
    }
    quit_launcher();
}
