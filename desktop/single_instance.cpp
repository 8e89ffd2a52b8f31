#include "desktop/single_instance.h"

#include <glib-unix.h>

#include "common/file_helpers.h"
#include "desktop/launcher_state.h"
#include "desktop/launcher_window.h"
#include "desktop/ui_post.h"
#include "platform/instance_lock.h"

namespace {

const char* const activate_message = "activate\n";

gboolean on_activation(gint fd, GIOCondition, gpointer) {
    run_guarded("activation", [fd] {
        // A peer writes its few bytes at once; a silent one costs the UI thread half a second at most.
        const std::string message = receive_local_message(fd, 64, 500);
        if (message.rfind("activate", 0) == 0) bring_to_front();
    });
    return G_SOURCE_CONTINUE;
}

}  // namespace

std::filesystem::path instance_folder() {
    const std::filesystem::path runtime = env_path_or_default("XDG_RUNTIME_DIR", "");
    if (runtime.is_absolute()) return runtime;
    return data_dir();
}

instance_role claim_single_instance() {
    const std::filesystem::path folder = instance_folder();
    instance_lock_result lock = acquire_instance_lock((folder / "mivra-desktop.lock").string());
    const std::string socket_path = (folder / "mivra-desktop.sock").string();
    if (lock.outcome == lock_outcome::held_elsewhere) {
        send_local_message(socket_path, activate_message);
        return instance_role::second;
    }
    launcher.instance_lock = std::move(lock.lock);
    if (lock.outcome == lock_outcome::acquired) launcher.activation_socket = listen_local_socket(socket_path);
    return instance_role::first;
}

void serve_activation_requests() {
    if (launcher.activation_socket.valid()) {
        g_unix_fd_add(launcher.activation_socket.get(), G_IO_IN, on_activation, nullptr);
    }
}
