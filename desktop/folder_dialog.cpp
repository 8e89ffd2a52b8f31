#include "desktop/folder_dialog.h"

#include <gtk/gtk.h>

#include "desktop/launcher_state.h"
#include "platform/folders.h"

const char* const folder_dialog_title = "Choose the folder that has the model (manifest.json, core.gguf, experts.bin)";

std::string choose_model_folder() {
    GtkWindow* parent = launcher.window ? GTK_WINDOW(launcher.window) : nullptr;
    GtkWidget* dialog = gtk_file_chooser_dialog_new(folder_dialog_title, parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
                                                    "_Cancel", GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT,
                                                    nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
    // From the home folder: the chooser would open on "Recent", which lists no folders and takes no typed path.
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), home_folder().c_str());
    std::string folder;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (char* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            folder = name;
            g_free(name);
        }
    }
    gtk_widget_destroy(dialog);
    return folder;
}
