#include "distribution/download_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/sha_hasher.h"
#include "distribution/launcher_events.h"
#include "distribution/pull_files.h"
#include "distribution/pull_state.h"
#include "platform/files.h"
#include "platform/part_file.h"

namespace fs = std::filesystem;
using nlohmann::json;

bool gui_progress = false;
uint64_t pull_need_bytes = 0;
uint64_t pull_done_bytes = 0;

namespace {

constexpr size_t transfer_buffer_size = size_t{4} << 20; // every read and write of a file goes through it
constexpr int max_attempts = 8;
constexpr int max_wait_seconds = 30;
constexpr int64_t console_report_gap_ns = 500'000'000;
constexpr int64_t gui_report_gap_ns = 300'000'000;

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sha_algorithm algorithm_of(const download_file& file) {
    return file.lfs_sha256.empty() ? sha_algorithm::sha1 : sha_algorithm::sha256;
}

// A Git blob id is the SHA-1 of "blob <size>", a zero byte and the content.
void hash_blob_header(sha_hasher& hasher, const download_file& file) {
    if (!file.lfs_sha256.empty()) return;
    const std::string header = "blob " + std::to_string(file.size);
    hasher.update(header.c_str(), header.size() + 1);
}

// Where a 206 answer says its body begins ("bytes <start>-<end>/<total>"); -1 when it cannot be read.
int64_t content_range_start(const std::string& value) {
    const std::string unit = "bytes ";
    if (value.compare(0, unit.size(), unit) != 0) return -1;
    int64_t start = 0;
    size_t i = unit.size();
    const size_t first_digit = i;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        if (start > (INT64_MAX - 9) / 10) return -1;
        start = start * 10 + (value[i] - '0');
    }
    if (i == first_digit || i >= value.size() || value[i] != '-') return -1;
    return start;
}

// A server that answers a resumed request with the whole file, or with a part that does not begin where we asked,
// would put wrong bytes behind the ones we have.
void check_resume_answer(const http_request& request, uint64_t offset) {
    bool ok = true;
    if (request.status == 200) {
        ok = offset == 0;
    } else if (request.status == 206) {
        std::string range;
        ok = request.transfer->header("Content-Range", range) &&
             content_range_start(range) == static_cast<int64_t>(offset);
    }
    if (!ok) throw std::runtime_error("server ignored the resume request");
}

void wait_before_retry(int seconds) {
    if (mivra_retry_wait_hook) return mivra_retry_wait_hook(seconds);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

// Hashes the first `size` bytes of an earlier part file.
void rehash_part_file(const fs::path& part, uint64_t size, sha_hasher& hasher, std::vector<char>& buffer) {
    file_descriptor fd = open_read(part.string());
    if (!fd.valid()) throw std::runtime_error("cannot read " + part.string());
    uint64_t done = 0;
    while (done < size) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
        const size_t got = read_at(fd.get(), done, buffer.data(), want);
        if (got == 0) break;
        hasher.update(buffer.data(), got);
        done += got;
    }
    if (done < size) throw std::runtime_error("short read in " + part.string());
}

// One request from byte t on, its body written to the part file and hashed; t counts the bytes that are both in
// the part file and in the digest.
void transfer_once(http_session& session, const std::string& url, const download_file& file, int fd,
                   sha_hasher& hasher, std::vector<char>& buffer, uint64_t& t, download_progress& progress) {
    const uint64_t size = static_cast<uint64_t>(file.size);
    std::string current = url; // a redirect changes only this copy
    http_request request = http_get(session, current, t, "", false);
    check_resume_answer(request, t);
    while (t < size) {
        const long n = read_response_some(request, buffer.data(), buffer.size());
        if (n < 0) throw std::runtime_error("connection lost (error " + std::to_string(last_error_code()) + ")");
        if (n == 0) throw std::runtime_error("connection closed early");
        const uint64_t count = static_cast<uint64_t>(n);
        if (count > size - t) throw std::runtime_error("server sent more bytes than the file has");
        if (!write_at(fd, t, buffer.data(), static_cast<size_t>(count))) {
            throw std::runtime_error("write failed (disk full?)");
        }
        hasher.update(buffer.data(), static_cast<size_t>(count));
        t += count;
        report_progress(progress, file.path, t, size, false);
    }
}

}  // namespace

const std::string& expected_id(const download_file& file) {
    return file.lfs_sha256.empty() ? file.git_oid : file.lfs_sha256;
}

void set_gui_progress(bool on) { gui_progress = on; }

fs::path part_path(const fs::path& pack_dir, const download_file& file) {
    return pack_dir / fs::path(file.path + ".part");
}

void fetch_part_file(http_session& session, const std::string& base_url, const download_file& file,
                     const fs::path& pack_dir) {
    const fs::path part = part_path(pack_dir, file);
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(file.size, 0));
    sha_hasher hasher(algorithm_of(file));
    hash_blob_header(hasher, file);
    std::vector<char> buffer(transfer_buffer_size);

    uint64_t t = 0;
    // A symbolic link in the part file's place is nobody's download: it goes, and what it points to is not touched.
    std::error_code link_ec;
    if (fs::is_symlink(fs::symlink_status(part, link_ec))) checked_remove(part);
    if (checked_exists(part)) {
        t = checked_file_size(part);
        if (t > size) {
            checked_remove(part);
            t = 0;
        } else if (t > 0) {
            std::fprintf(stderr, "  %-22s checking %s downloaded earlier...\n", printable_name(file.path).c_str(),
                         format_size(static_cast<double>(t)).c_str());
            rehash_part_file(part, t, hasher, buffer);
        }
    }

    file_descriptor fd = open_write_keep(part.string());
    if (!fd.valid() || !truncate_open_file(fd.get(), t)) throw std::runtime_error("cannot write " + part.string());

    download_progress progress{steady_ns(), 0, t};
    const std::string url = base_url + url_encode(file.path);
    for (int attempt = 1; t < size; ++attempt) {
        try {
            transfer_once(session, url, file, fd.get(), hasher, buffer, t, progress);
        } catch (const std::exception& e) {
            // A failed write may have left bytes past t; the next attempt must continue right behind good bytes.
            truncate_open_file(fd.get(), t);
            if (attempt >= max_attempts) throw;
            const int wait = std::min(1 << attempt, max_wait_seconds);
            std::fprintf(stderr, "\n  %s, retrying in %d s (%d/%d)\n", e.what(), wait, attempt, max_attempts);
            wait_before_retry(wait);
        }
    }
    bool closed = sync_file_data(fd.get());
    closed = fd.close() && closed;
    if (!closed) throw std::runtime_error("write failed: " + part.string());

    report_progress(progress, file.path, t, size, true);
    pull_done_bytes += t - progress.base;
    std::fputs("\n", stderr);

    const std::string digest = hash_finish_hex(hasher);
    if (digest != expected_id(file)) {
        std::error_code ignored;
        fs::remove(part, ignored);
        throw std::runtime_error(printable_name(file.path) + ": checksum mismatch (got " + digest + ", expected " +
                                 expected_id(file) + "); the partial file was deleted, run mivra pull again");
    }
}

void install_part_file(const download_file& file, const fs::path& pack_dir, json& state) {
    const fs::path final_path = pack_dir / fs::path(file.path);
    // A file in the way is replaced by the rename itself, in one step; a folder has to go first.
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(final_path, ec))) checked_remove(final_path);
    checked_rename(part_path(pack_dir, file), final_path);
    record_pulled_file(pack_dir, state, file.path, expected_id(file), static_cast<uint64_t>(file.size));
}

void pull_one_file(http_session& session, const std::string& base_url, const download_file& file,
                   const fs::path& pack_dir, json& state) {
    fetch_part_file(session, base_url, file, pack_dir);
    install_part_file(file, pack_dir, state);
}

std::string hash_file(const fs::path& path, const download_file& file) {
    sha_hasher hasher(algorithm_of(file));
    hash_blob_header(hasher, file);
    file_descriptor fd = open_read(path.string());
    if (!fd.valid()) return "";
    std::vector<char> buffer(transfer_buffer_size);
    for (uint64_t offset = 0;;) {
        const size_t got = read_at(fd.get(), offset, buffer.data(), buffer.size());
        if (got == 0) break;
        hasher.update(buffer.data(), got);
        offset += got;
    }
    return hash_finish_hex(hasher);
}

void report_progress(download_progress& progress, const std::string& name, uint64_t done, uint64_t total,
                     bool final) {
    const int64_t now = steady_ns();
    const int64_t gap = gui_progress ? gui_report_gap_ns : console_report_gap_ns;
    if (!final && now - progress.last_report_ns < gap) return;
    progress.last_report_ns = now;
    const double elapsed = static_cast<double>(now - progress.start_ns) / 1e9;
    const double rate = elapsed > 0 ? static_cast<double>(done - progress.base) / elapsed : 0.0;
    if (gui_progress) {
        emit_json_line(gui_progress_event(name, done, total, static_cast<uint64_t>(rate),
                                          done - progress.base + pull_done_bytes, pull_need_bytes));
        return;
    }
    std::string left;
    if (rate > 0 && done < total) {
        const long long secs = static_cast<long long>(static_cast<double>(total - done) / rate);
        char text[64];
        std::snprintf(text, sizeof text, "  %lldm%02llds left", secs / 60, secs % 60);
        left = text;
    }
    std::fprintf(stderr, "\r  %-22s %s / %s  %.1f MB/s%s      ", printable_name(name).c_str(),
                 format_size(static_cast<double>(done)).c_str(), format_size(static_cast<double>(total)).c_str(),
                 rate / 1e6, left.c_str());
}

std::string format_size(double bytes) {
    char text[64];
    if (bytes >= 1e9) {
        std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    }
    return text;
}

std::string printable_name(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string url_encode(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}
