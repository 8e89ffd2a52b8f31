#include "distribution/start_menu.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>

#include "common/program_version.h"
#include "distribution/launcher_events.h"
#include "distribution/pack_finder.h"
#include "distribution/pull_state.h"
#include "platform/files.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool exists_quietly(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

std::string without_white_space(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) out += c;
    }
    return out;
}

std::string printf_text(const char* format, auto... values) {
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof buffer, format, values...);
    if (n < 0) return "";
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, values...);
    big.resize(static_cast<size_t>(n));
    return big;
}

void print_text(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

bool is_installed_folder(const fs::path& folder) {
    return exists_quietly(folder / "manifest.json") || exists_quietly(folder / pull_state_name);
}

bool is_ready_folder(const fs::path& folder) {
    return exists_quietly(folder / "manifest.json") && !has_partial_files(folder);
}

menu_rows build_menu_rows(const std::vector<catalog_entry>& catalog, const fs::path& models_dir,
                          const model_links& links) {
    menu_rows rows;
    for (const catalog_entry& e : catalog) {
        menu_item m;
        m.id = e.id;
        m.name = e.name;
        m.repo = e.repo;
        m.about = e.about;
        m.min_mivra = e.min_mivra;
        m.download_gb = e.download_gb;
        m.min_ram_gb = e.min_ram_gb;
        m.recommended = e.recommended;
        m.folder = resolve_model_folder(models_dir, e.id, links);
        m.installed = is_installed_folder(m.folder);
        m.ready = is_ready_folder(m.folder);
        if (!m.installed && compare_versions(program_version, e.min_mivra) < 0) {
            rows.too_new.push_back(e);
        } else {
            rows.items.push_back(std::move(m));
        }
    }

    // Packs in the models folder that the catalog does not know; they have no repo, so they are never updated.
    std::vector<fs::path> folders;
    std::error_code ec;
    for (fs::directory_iterator it(models_dir, ec), end; !ec && it != end; it.increment(ec)) folders.push_back(it->path());
    if (ec) folders.clear();
    for (const fs::path& folder : folders) {
        if (!fs::is_directory(folder) || !fs::exists(folder / "manifest.json")) continue;
        const std::string name = folder.filename().string();
        const bool known = std::any_of(rows.items.begin(), rows.items.end(), [&](const menu_item& m) { return m.id == name; });
        if (known) continue;
        menu_item m;
        m.id = name;
        m.name = name;
        m.folder = folder;
        m.installed = true;
        m.ready = !has_partial_files(folder);
        rows.items.push_back(std::move(m));
    }

    std::stable_partition(rows.items.begin(), rows.items.end(), [](const menu_item& m) { return m.installed; });
    return rows;
}

menu_default pick_default(const std::vector<menu_item>& items, const std::string& last_id) {
    menu_default d;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].installed && items[i].id == last_id) {
            d.choice = i;
            d.last_ready = items[i].ready;
            break;
        }
        if (!items[d.choice].installed && !items[d.choice].recommended && items[i].recommended) d.choice = i;
    }
    d.single_ready = items.size() == 1 && items[0].ready;
    return d;
}

std::string read_last_model(const fs::path& models_dir) {
    std::ifstream in(models_dir / last_model_name, std::ios::binary);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void write_last_model(const fs::path& models_dir, const std::string& id) {
    write_file_atomic((models_dir / last_model_name).string(), id + "\r\n");
}

std::string console_menu_text(const std::vector<menu_item>& items, const std::vector<catalog_entry>& too_new) {
    const size_t n_installed = static_cast<size_t>(
        std::count_if(items.begin(), items.end(), [](const menu_item& m) { return m.installed; }));
    std::string text = "\n";
    for (size_t i = 0; i < items.size(); ++i) {
        const menu_item& m = items[i];
        if (i == 0) text += n_installed > 0 ? "  Your models\n" : "  Choose a model to download\n";
        if (n_installed > 0 && i == n_installed) text += "\n  Download another model\n";
        if (m.installed) {
            text += printf_text("    %zu  %-28s %s\n", i + 1, m.name.c_str(), m.ready ? "ready" : "download not finished");
        } else {
            text += printf_text("    %zu  %-28s %.1f GB download", i + 1, m.name.c_str(), m.download_gb);
            if (m.min_ram_gb > 0) text += printf_text(", needs %.0f GB memory", m.min_ram_gb);
            text += m.recommended ? "  (recommended)\n" : "\n";
        }
        if (!m.about.empty()) text += "       " + m.about + "\n";
    }
    if (!too_new.empty()) {
        text += "\n  Also available with a newer Mivra (download the latest version from the website):\n";
        for (const catalog_entry& e : too_new) text += "       " + e.name + "\n";
    }
    return text;
}

std::string console_prompt(size_t choice) {
    return printf_text("\n  Type a number and press Enter (just Enter = %zu, q = quit): ", choice + 1);
}

menu_answer read_menu_answer(const std::string& line, size_t rows) {
    const std::string text = without_white_space(line);
    if (text.empty()) return {menu_answer::take_default, 0};
    if (text == "q" || text == "Q") return {menu_answer::quit, 0};
    size_t at = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        at = 1;
    }
    if (at == text.size()) return {};
    unsigned long long value = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') return {};
        value = value * 10 + static_cast<unsigned>(text[at] - '0');
        if (value > rows) return {};  // out of range whatever follows (and never overflows)
    }
    if (negative || value < 1) return {};
    return {menu_answer::row, static_cast<size_t>(value - 1)};
}

std::optional<size_t> console_choose(size_t choice, size_t rows, std::istream& in) {
    print_text(console_prompt(choice));
    for (std::string line; std::getline(in, line);) {
        const menu_answer answer = read_menu_answer(line, rows);
        switch (answer.kind) {
        case menu_answer::take_default:
            return choice;
        case menu_answer::quit:
            return std::nullopt;
        case menu_answer::row:
            return answer.index;
        case menu_answer::invalid:
            print_text(printf_text("  Please type a number from 1 to %zu.", rows) + console_prompt(choice));
            break;
        }
    }
    return choice;
}

std::string locate_error(const std::vector<menu_item>& items, const std::string& id, const fs::path& folder,
                         const std::vector<catalog_entry>& catalog) {
    if (std::none_of(items.begin(), items.end(), [&](const menu_item& m) { return m.id == id; })) return "unknown model";
    if (!is_pack_folder(folder))
        return "that folder has no Mivra model in it (it should contain manifest.json, core.gguf and experts.bin)";
    if (has_partial_files(folder)) return "the download in that folder is not finished";
    const std::string holds = identify_pack(folder, catalog);
    if (!holds.empty() && holds != id) return "that folder holds a different model (" + holds + ")";
    return "";
}

std::optional<size_t> run_command_loop(std::vector<menu_item>& items, size_t preselected,
                                       const std::vector<catalog_entry>& catalog, const fs::path& models_dir,
                                       model_links& links, std::istream& in,
                                       const std::function<void(const json&)>& emit) {
    const std::string locate = "locate ";
    for (std::string line; std::getline(in, line);) {
        if (line == "quit") return std::nullopt;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t tab = line.find('\t');
        if (line.compare(0, locate.size(), locate) == 0 && tab != std::string::npos) {
            const std::string id = line.substr(locate.size(), tab - locate.size());
            const std::string folder = line.substr(tab + 1);
            const std::string error = locate_error(items, id, fs::path(folder), catalog);
            if (!error.empty()) {
                emit(gui_located_event(false, id, error));
                continue;
            }
            links[id] = folder;
            write_links(models_dir, links);
            size_t row = 0;
            for (size_t i = 0; i < items.size(); ++i) {
                if (items[i].id == id) row = i;
            }
            items[row].folder = fs::path(folder);
            items[row].installed = true;
            items[row].ready = true;
            emit(gui_located_event(true, id, "Using the copy in " + folder));
            return row;
        }
        const std::string wanted = without_white_space(line);
        size_t choice = preselected;
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].id == wanted) choice = i;
        }
        return choice;
    }
    return std::nullopt;
}
