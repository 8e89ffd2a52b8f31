#include "agent/document_extraction.h"

#include <csignal>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "agent/extraction_script.h"
#include "agent/upload_names.h"
#include "common/file_helpers.h"
#include "common/text_helpers.h"
#include "platform/child_process.h"
#include "platform/files.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t max_text_bytes = 400000;
constexpr size_t binary_probe_bytes = 8000;
constexpr size_t output_message_bytes = 600;
constexpr size_t page_bytes = 20000;
constexpr const char* python_program = "/usr/bin/python3";
constexpr const char* script_name = "extract.py";

const std::unordered_map<std::string, std::string>& document_kinds() {
    static const std::unordered_map<std::string, std::string> kinds = {
        {".docx", "docx"}, {".docm", "docx"}, {".pptx", "pptx"}, {".pptm", "pptx"},
        {".xlsx", "xlsx"}, {".xlsm", "xlsx"}, {".odt", "odt"},   {".ods", "ods"},
        {".odp", "odp"},   {".pdf", "pdf"},   {".png", "image"}, {".jpg", "image"},
        {".jpeg", "image"}, {".gif", "image"}, {".bmp", "image"}, {".tif", "image"},
        {".tiff", "image"}, {".webp", "image"}, {".heic", "image"}, {".ico", "image"},
        {".mp4", "media"}, {".mov", "media"}, {".mkv", "media"}, {".avi", "media"},
        {".wmv", "media"}, {".webm", "media"}, {".m4v", "media"}, {".mp3", "media"},
        {".wav", "media"}, {".m4a", "media"}, {".flac", "media"}, {".ogg", "media"},
        {".doc", "old"},   {".xls", "old"},   {".ppt", "old"},
    };
    return kinds;
}

std::string new_run_id() { return random_hex_id().substr(0, 12); }

// Puts the script into the tmp folder once per process and folder, and again whenever it has gone missing or
// differs in size. It is written under a unique name and renamed into place, so a run that starts meanwhile (in this
// process or another one) reads either the old whole file or the new one, never a half-written script.
fs::path install_script(const fs::path& tmp_folder) {
    static std::mutex mutex;
    static std::set<fs::path> written;  // [mutex]
    const std::string_view text = extraction_script();
    const fs::path script = tmp_folder / script_name;
    std::lock_guard<std::mutex> lock(mutex);
    if (written.count(tmp_folder) && file_size(script.string()) == int64_t(text.size())) return script;
    const fs::path staging = tmp_folder / (std::string(script_name) + "." + new_run_id() + ".tmp");
    file_descriptor out = open_write_truncate(staging.string());
    bool ok = out.valid() && write_all(out.get(), text.data(), text.size());
    ok = out.close() && ok;
    std::error_code error;
    if (ok) fs::rename(staging, script, error);
    if (!ok || error) {
        fs::remove(staging, error);
        throw std::runtime_error("cannot write " + script.string());
    }
    written.insert(tmp_folder);
    return script;
}

// Runs the script on one document; returns the run's console output (stdout and stderr in write order).
std::string run_script(const fs::path& script, const fs::path& file, const std::string& kind, const fs::path& out,
                       const extraction_limits& limits) {
    child_spec spec;
    // An argument list, never a command line: no name can be read as code.
    spec.argv = {python_program, "-I", script.string(), fs::absolute(file).string(), kind, out.string()};
    spec.env = current_environment();
    spec.out = child_stream::pipe();
    spec.err = child_stream::same_as_stdout();
    spec.parent_death_signal = SIGKILL;
    spec.address_space_limit = limits.address_space_bytes;
    child_run_options options;
    options.time_limit = limits.time_limit;
    options.keep_max = 64 * 1024;  // only the ends of the output reach the message
    options.keep_after_trim = 32 * 1024;
    try {
        return run_to_end(spec, options).out;
    } catch (const child_start_error&) {
        throw std::runtime_error("cannot start Python");
    }
}

nlohmann::json read_directly(const fs::path& file) {
    std::string text = read_file_text(file, max_text_bytes);
    if (contains_nul(std::string_view(text).substr(0, binary_probe_bytes)))
        throw std::runtime_error("this is a binary file Mivra can't turn into text");
    return nlohmann::json{{"kind", "text"}, {"text", std::move(text)}};
}

nlohmann::json extract_with_script(const fs::path& file, const std::string& kind, const fs::path& tmp_folder,
                                   const extraction_limits& limits) {
    fs::create_directories(tmp_folder);
    const fs::path script = install_script(tmp_folder);
    const std::string id = new_run_id();
    const fs::path out = tmp_folder / (id + ".json");
    const fs::path pages = tmp_folder / (id + ".pages");

    std::string output;
    try {
        output = run_script(script, file, kind, out, limits);
    } catch (...) {
        std::error_code ignored;
        fs::remove(out, ignored);
        throw;
    }
    std::error_code ignored;
    fs::remove_all(pages, ignored);  // left behind only by a run stopped on the way

    std::string text;
    bool read = false;
    try {
        text = read_file_text(out);
        read = true;
    } catch (const std::runtime_error&) {
    }
    fs::remove(out, ignored);
    if (!read) throw std::runtime_error("could not read the file: " + cut_middle(output, output_message_bytes));

    std::string_view json_text(text);
    if (json_text.size() >= 3 && json_text.substr(0, 3) == "\xEF\xBB\xBF") json_text.remove_prefix(3);
    nlohmann::json result = nlohmann::json::parse(json_text);
    if (result.is_object()) {
        auto error = result.find("error");
        if (error != result.end() && error->is_string()) throw std::runtime_error(error->get<std::string>());
    }
    return result;
}

}  // namespace

std::string document_kind(const fs::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    auto found = document_kinds().find(extension);
    return found == document_kinds().end() ? std::string() : found->second;
}

nlohmann::json extract_document_text(const fs::path& file, const fs::path& tmp_folder,
                                     const extraction_limits& limits) {
    std::error_code error;
    if (!fs::is_regular_file(fs::status(file, error))) throw std::runtime_error("no such file: " + file.string());
    const std::string kind = document_kind(file);
    if (kind.empty()) return read_directly(file);
    if (kind == "old")
        throw std::runtime_error("old Office format (" + file.extension().string() +
                                 "): open it in Word / Excel / PowerPoint and save it as .docx / .xlsx / .pptx");
    return extract_with_script(file, kind, tmp_folder, limits);
}

std::string clean_posted_name(std::string_view name) { return clean_upload_name(name); }

nlohmann::json extract_posted_document(std::string_view name, std::string_view body, const fs::path& tmp_folder,
                                       const extraction_limits& limits) {
    const fs::path folder = tmp_folder / new_run_id();
    fs::create_directories(folder);
    struct remove_folder {
        const fs::path& folder;
        ~remove_folder() {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    } cleanup{folder};

    const fs::path file = folder / clean_posted_name(name);
    file_descriptor out = open_write_truncate(file.string());
    bool written = out.valid() && write_all(out.get(), body.data(), body.size());
    written = out.close() && written;
    if (!written) throw std::runtime_error("cannot write " + file.string());

    nlohmann::json result = extract_document_text(file, tmp_folder, limits);
    result["name"] = file.filename().string();
    return result;
}

nlohmann::json read_document_page(nlohmann::json document, int64_t offset, const std::string& path) {
    std::string text;
    if (document.is_object()) {
        auto found = document.find("text");
        if (found != document.end() && found->is_string()) text = found->get<std::string>();
    }
    const size_t length = text.size();
    const size_t start = offset < 0 ? 0 : static_cast<size_t>(offset);
    document["total_characters"] = length;
    if (start >= length && length != 0)
        throw std::runtime_error("offset is past the end (" + std::to_string(length) + " characters)");
    document["text"] = start < length ? text.substr(start, page_bytes) : std::string();
    if (start + page_bytes < length) document["more"] = "read again with offset " + std::to_string(start + page_bytes);
    document["path"] = path;
    return document;
}
