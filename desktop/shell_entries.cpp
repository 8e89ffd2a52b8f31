#include "desktop/shell_entries.h"

#include <system_error>

#include "common/file_helpers.h"
#include "desktop/desktop_entry.h"
#include "desktop/program_icon.h"
#include "platform/folders.h"

namespace fs = std::filesystem;

const char* const entry_description = "Mivra: AI models on your own PC";

namespace {

const char* const entry_name = "mivra-desktop.desktop";

std::string read_entry(const fs::path& file) {
    try {
        return read_file_text(file, 1 << 20);
    } catch (const std::exception&) {
        return {};
    }
}

bool usable_path(const fs::path& path) {
    for (unsigned char c : path.string()) {
        if (c < 0x20 || c == 0x7F) return false;  // no line of a desktop entry can hold it
    }
    return !path.empty();
}

std::string entry_text(const std::string& exec, const fs::path& icon, const std::string& extra) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Version=1.0\n"
           "Name=Mivra\n"
           "Comment=" + entry_string(entry_description) + "\n"
           "Exec=" + entry_string(exec) + "\n"
           "Icon=" + entry_string(icon.string()) + "\n"
           "Terminal=false\n"
           "StartupWMClass=mivra-desktop\n" + extra;
}

}  // namespace

fs::path menu_entry_file() { return user_data_home() / "applications" / entry_name; }

fs::path autostart_entry_file() { return user_config_home() / "autostart" / entry_name; }

std::string menu_entry_text(const fs::path& program, const fs::path& icon) {
    return entry_text(exec_argument(program.string()), icon,
                      "Categories=Utility;\nPath=" + entry_string(program.parent_path().string()) + "\n");
}

std::string autostart_entry_text(const fs::path& program, const fs::path& icon) {
    return entry_text(exec_argument(program.string()) + " --tray", icon, "X-GNOME-Autostart-enabled=true\n");
}

void ensure_menu_entry() {
    const fs::path program = executable_path();
    if (!usable_path(program)) return;
    const fs::path file = menu_entry_file();
    const std::optional<std::string> exec = entry_value(read_entry(file), "Exec");
    if (exec) {
        const auto arguments = parse_exec(*exec);
        if (arguments && !arguments->empty() && (*arguments)[0] == program.string()) return;
    }
    write_entry_file(file, menu_entry_text(program, ensure_program_icon_file()));
}

bool autostart_enabled() {
    std::error_code error;
    if (!fs::is_regular_file(autostart_entry_file(), error)) return false;
    return entry_value(read_entry(autostart_entry_file()), "Hidden").value_or("") != "true";
}

void set_autostart(bool on) {
    const fs::path file = autostart_entry_file();
    if (!on) {
        std::error_code error;
        fs::remove(file, error);
        return;
    }
    const fs::path program = executable_path();
    if (usable_path(program)) write_entry_file(file, autostart_entry_text(program, ensure_program_icon_file()));
}
