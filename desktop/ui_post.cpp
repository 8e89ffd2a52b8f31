#include "desktop/ui_post.h"

#include <glib.h>

#include <cstdio>
#include <exception>
#include <memory>

namespace {

gboolean run_posted(gpointer data) {
    run_guarded("posted task", [data] { (*static_cast<std::function<void()>*>(data))(); });
    return G_SOURCE_REMOVE;
}

void free_posted(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

void post_to_ui(std::function<void()> task) {
    auto closure = std::make_unique<std::function<void()>>(std::move(task));
    g_idle_add_full(G_PRIORITY_DEFAULT, run_posted, closure.release(), free_posted);
}

void report_callback_error(const char* where) noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mivra-desktop: %s: %s\n", where, e.what());
    } catch (...) {
        std::fprintf(stderr, "mivra-desktop: %s: unknown error\n", where);
    }
}
