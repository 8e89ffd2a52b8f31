#include "distribution/pull_state.h"

#include <stdexcept>
#include <string>

#include "common/file_helpers.h"
#include "distribution/pull_files.h"
#include "platform/files.h"
#include "platform/part_file.h"

namespace fs = std::filesystem;
using nlohmann::json;

json read_pull_state(const fs::path& pack_dir) {
    json state = read_json_file(pack_dir / pull_state_name);
    // A missing or broken file and a file holding null all read as "nothing recorded".
    return state.is_null() ? json::object() : state;
}

void write_pull_state(const fs::path& pack_dir, const json& state) {
    const fs::path tmp = pack_dir / (std::string(pull_state_name) + ".tmp");
    const std::string text = state.dump(2);
    file_descriptor fd = open_write_truncate(tmp.string());
    bool ok = fd.valid() && write_all(fd.get(), text.data(), text.size()) && sync_file_data(fd.get());
    ok = fd.close() && ok;
    if (!ok) throw std::runtime_error("cannot write " + tmp.string());
    checked_rename(tmp, pack_dir / pull_state_name);
}
