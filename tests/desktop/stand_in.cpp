#include "stand_in.h"

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace desktop_test {

void install_stand_in(const fs::path& folder, const std::string& scenario) {
    fs::create_directories(folder);
    const fs::path program = folder / "mivra";
    fs::copy_file(fs::path(MIVRA_SOURCE_DIR) / "tests/desktop/stand_in_engine.js", program,
                  fs::copy_options::overwrite_existing);
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    std::ofstream(folder / "stand-in-scenario") << scenario << "\n";
}

std::vector<json> stand_in_log(const fs::path& folder) {
    std::ifstream in(folder / "stand-in.log", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<json> records;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        records.push_back(json::parse(text.substr(start, end - start), nullptr, false));
        start = end + 1;
    }
    return records;
}

std::vector<json> stand_in_records(const fs::path& folder, const std::string& event) {
    std::vector<json> found;
    for (json& record : stand_in_log(folder)) {
        if (record.is_object() && record.value("event", "") == event) found.push_back(std::move(record));
    }
    return found;
}

bool process_gone(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return true;
    const size_t name_end = stat.rfind(')');
    return name_end == std::string::npos || stat.compare(name_end + 2, 1, "Z") == 0;
}

}  // namespace desktop_test
