#include "desktop/web_view_host.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>

#include "desktop/engine_process.h"
#include "desktop/engine_relay.h"
#include "desktop/launcher_page.h"
#include "desktop/launcher_state.h"
#include "desktop/ui_post.h"

using json = nlohmann::json;

namespace {

// The page background, the same as the window's.
const GdkRGBA page_background = {245 / 255.0, 243 / 255.0, 238 / 255.0, 1.0};

void on_script_message(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    run_guarded("page message", [result] {
        JSCValue* value = webkit_javascript_result_get_js_value(result);
        char* text = value ? jsc_value_to_json(value, 0) : nullptr;
        if (!text) return;
        const std::string message(text);
        g_free(text);
        on_page_message(message);
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

    gtk_container_add(GTK_CONTAINER(launcher.window), GTK_WIDGET(view));
    gtk_widget_show(GTK_WIDGET(view));

    launcher.web_view = view;
    launcher.page.post = [view](const std::string& json_text) { send_to_page(view, json_text); };
    launcher.page.load_launcher_page = [view] {
        const std::string html = std::string(launcher_page_markup) + launcher_page_script;
        webkit_web_view_load_html(view, html.c_str(), "about:blank");
    };
    launcher.page.navigate = [view](const std::string& address) { webkit_web_view_load_uri(view, address.c_str()); };

    if (launcher.external_server) {
        on_engine_ready();
    } else {
        show_launcher_page();
    }
}

void on_page_message(const std::string& json_text) {
    const json message = json::parse(json_text, nullptr, false);
    if (message.is_discarded() || !message.is_object()) return;
    const auto type = message.find("type");
    if (type == message.end() || !type->is_string()) return;
    if (type->get_ref<const std::string&>() == "hello") {
        launcher.page_ready = true;
        flush_page_messages();
        if (!launcher.engine && !launcher.external_server) start_engine(false);
    }
}
