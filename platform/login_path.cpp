#include "platform/login_path.h"
#include "platform/files.h"

#include "platform/folders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const line_head = "PATH=\"${PATH:+$PATH:}\"";
const char* const line_tail = "; export PATH  # added by mivra: \"mivra path off\" removes this line";
const char* const line_mark = "# added by mivra: \"mivra path off\" removes this line";


// Reads the whole file; false when it does not exist. Throws on any other failure.
bool read_existing(const fs::path& file, std::string& out) {
    file_descriptor f(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.get() < 0) {
        if (errno == ENOENT) return false;
        throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(f.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(errno));
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

// The file's lines, each without its '\n'; a last line without '\n' is kept as well.
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool is_managed(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
    return ends_with(line, line_mark);
}

// The value of a managed line; "" when the line was edited out of shape.
std::string managed_value(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string head = line_head;
    if (line.compare(0, head.size(), head) != 0) return "";
    std::string value;
    size_t i = head.size();
    for (;;) {
        if (i < line.size() && line[i] == '\'') {
            size_t close = line.find('\'', i + 1);
            if (close == std::string::npos) return "";
            value.append(line, i + 1, close - i - 1);
            i = close + 1;
        } else if (line.compare(i, 2, "\\'") == 0) {
            value += '\'';
            i += 2;
        } else {
            break;
        }
    }
    return line.compare(i, std::string::npos, line_tail) == 0 ? value : "";
}

std::string managed_line(const std::string& value) {
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return line_head + quoted + line_tail;
}

std::vector<std::string> split_nonempty(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

[[noreturn]] void write_failed(const fs::path& file, const std::string& reason) {
    throw std::runtime_error("cannot write " + file.string() + ": " + reason);
}

void replace_file(const fs::path& file, const std::string& text, mode_t mode) {
    fs::path tmp = file;
    tmp += ".mivra.tmp";
    file_descriptor out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (out.get() < 0) write_failed(file, std::strerror(errno));
    try {
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = ::write(out.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) write_failed(file, std::strerror(errno));
            done += static_cast<size_t>(n);
        }
        if (::fchmod(out.get(), mode) != 0 || ::fsync(out.get()) != 0) write_failed(file, std::strerror(errno));
        int fd = out.release();
        if (::close(fd) != 0) write_failed(file, std::strerror(errno));
        if (::rename(tmp.c_str(), file.c_str()) != 0) write_failed(file, std::strerror(errno));
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
}

}  // namespace

fs::path login_profile_file() { return home_folder() / ".profile"; }

std::string read_login_path(const fs::path& profile) {
    std::string text;
    if (!read_existing(profile, text)) return "";
    std::string value;
    for (const std::string& line : split_lines(text)) {
        if (!is_managed(line)) continue;
        std::string v = managed_value(line);
        if (v.empty()) continue;
        if (!value.empty()) value += ':';
        value += v;
    }
    return value;
}

void write_login_path(const fs::path& profile, const std::string& value) {
    if (value.find('\n') != std::string::npos || value.find('\r') != std::string::npos)
        write_failed(profile, "a folder name holds a line break");

    // Write through a symbolic link (a profile kept in a dotfiles folder), never over it.
    fs::path target = profile;
    std::error_code ec;
    if (fs::is_symlink(profile, ec)) {
        target = fs::weakly_canonical(profile, ec);
        if (ec) write_failed(profile, ec.message());
    }

    std::string text;
    bool exists = read_existing(target, text);
    mode_t mode = 0644;
    struct stat st{};
    if (exists && ::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

    std::string out;
    bool placed = false;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, (end == std::string::npos ? text.size() : end) - start);
        if (!is_managed(line)) {
            out.append(text, start, next - start);  // with its line end, if it has one
        } else if (!placed) {
            if (!value.empty()) out += managed_line(value) + "\n";
            placed = true;
        }
        start = next;
    }
    if (!placed && !value.empty()) {
        if (!out.empty() && out.back() != '\n') out += '\n';
        out += managed_line(value) + "\n";
    }
    if (exists && out == text) return;
    if (!exists && out.empty()) return;
    replace_file(target, out, mode);
}

std::vector<std::string> environment_file_path_entries(const std::string& text) {
    std::vector<std::string> entries;
    for (std::string line : split_lines(text)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos || line[i] == '#') continue;
        line.erase(0, i);
        if (line.compare(0, 7, "export ") == 0) line.erase(0, line.find_first_not_of(" \t", 7));
        if (line.compare(0, 5, "PATH=") != 0) continue;
        std::string value = line.substr(5);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
            value = value.substr(1, value.size() - 2);
        entries = split_nonempty(value, ':');
    }
    return entries;
}

std::vector<std::string> login_defs_path_entries(const std::string& text, bool superuser) {
    const std::string name = superuser ? "ENV_SUPATH" : "ENV_PATH";
    std::vector<std::string> entries;
    for (const std::string& line : split_lines(text)) {
        size_t i = line.find_first_not_of(" \t");
        if (i == std::string::npos || line.compare(i, name.size(), name) != 0) continue;
        i += name.size();
        if (i >= line.size() || (line[i] != ' ' && line[i] != '\t')) continue;  // ENV_PATHX is another setting
        i = line.find_first_not_of(" \t", i);
        std::string value = i == std::string::npos ? std::string() : line.substr(i);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
            value.pop_back();
        if (value.compare(0, 5, "PATH=") == 0) value.erase(0, 5);
        entries = split_nonempty(value, ':');
    }
    return entries;
}

std::vector<std::string> system_path_entries() {
    std::vector<std::string> entries;
    std::string text;
    try {
        if (read_existing("/etc/environment", text)) entries = environment_file_path_entries(text);
    } catch (const std::exception&) {
    }
    std::vector<std::string> login;
    try {
        if (read_existing("/etc/login.defs", text)) login = login_defs_path_entries(text, geteuid() == 0);
    } catch (const std::exception&) {
    }
    if (login.empty()) login = {"/usr/local/bin", "/usr/bin", "/bin"};
    entries.insert(entries.end(), login.begin(), login.end());
    return entries;
}
