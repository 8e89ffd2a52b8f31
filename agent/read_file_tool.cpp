// read_file: numbered lines of one file.
#include "agent/file_tools.h"
#include "agent/project_paths.h"
#include "agent/tool_arguments.h"
#include "common/file_helpers.h"
#include "common/text_helpers.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t max_read_bytes = 4194304;
constexpr size_t max_content_bytes = 24000;

}  // namespace

json read_file_tool(const json& arguments) {
    bool inside = false;
    fs::path path;
    {
        project_folder_lock lock;
        path = resolve_in_project(required_text(arguments, "path"), inside);
    }
    // One byte past the limit tells whether the file goes on beyond what is read.
    std::string text = read_file_text(path, max_read_bytes + 1);
    const bool larger = text.size() > max_read_bytes;
    if (larger) text.resize(max_read_bytes);
    const int64_t offset = std::max<int64_t>(optional_integer(arguments, "offset", 1), 1);
    const int64_t limit = clamp_integer(optional_integer(arguments, "limit", 400), 1, 2000);

    std::string output;
    int64_t total = 0;
    int64_t taken = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        ++total;
        if (total >= offset && taken < limit) {
            output += std::to_string(total);
            output += '\t';
            output.append(text, start, end - start);
            output += '\n';
            ++taken;
        }
        start = end + 1;
    }

    json result = {{"path", path.string()}, {"content", cut_middle(output, max_content_bytes)}, {"total_lines", total}};
    std::string note;
    const int64_t last = offset - 1 + taken;
    if (last < total) note = "more lines after " + std::to_string(last) + "; read again with offset";
    if (larger) {
        // Whoever rewrites the file from what it read must know that its tail was never shown.
        if (!note.empty()) note += "; ";
        note += "the file is larger than 4 MiB and read_file reads only its first 4 MiB, which end in line " +
                std::to_string(total);
    }
    if (!note.empty()) result["note"] = note;
    return result;
}
