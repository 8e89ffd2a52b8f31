// One file of a pack fetched from the Hugging Face Hub into a pack folder. The bytes are collected in a part file
// (the file name + ".part"), an existing part file is continued with a range request, a failed transfer is retried
// up to 8 times with growing waits, the bytes are hashed as they arrive (SHA-256 for files in Git LFS, Git's blob id
// for the others), and the file reaches its final name only when its digest matches the one the Hub published.
// Also the progress reports (a console line on stderr, or "progress" events for the launcher) and two small text
// helpers of the pull command.
//
// Threads: everything here runs on the thread that runs the pull (the main thread of `pull` or `start`). The
// process-wide values below are plain values without a lock; only that thread reads or writes them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "common/http_client.h"

// One file of a pull, as the Hub lists it.
struct download_file {
    std::string path;       // the file name at the root of the repo (never holds '/')
    std::string lfs_sha256; // lower-case hexadecimal SHA-256 from the Hub's "lfs" object; empty outside Git LFS
    std::string git_oid;    // Git blob id (lower-case hexadecimal SHA-1); used only when lfs_sha256 is empty
    int64_t size = 0;       // bytes
};

// lfs_sha256 when it is not empty, otherwise git_oid.
const std::string& expected_id(const download_file& file);

// Progress bookkeeping of one file's transfer.
struct download_progress {
    int64_t start_ns = 0;       // steady clock when the transfer began
    int64_t last_report_ns = 0; // steady clock of the last report; 0 so the first report is never held back
    uint64_t base = 0;          // bytes already in the part file when the transfer began
};

// True makes progress come out as launcher events on stdout instead of a console line (false at start).
extern bool gui_progress;
// The bytes the current pull has to download in all, and those received by its files already finished.
extern uint64_t pull_need_bytes;
extern uint64_t pull_done_bytes;

void set_gui_progress(bool on);

// Downloads `file` into pack_dir (which exists), verifies it, renames it into place and records it in `state` (an
// object whose "files" member is an object) and in the pull log (record_pulled_file). A symbolic link in the part
// file's place is removed, never followed. base_url ends in '/'; the file's URL is base_url
// + url_encode(path). Throws std::runtime_error with the user's text (or a filesystem or JSON error) on failure;
// the part file then keeps every byte written before the failure, except after a checksum mismatch.
void pull_one_file(http_session& session, const std::string& base_url, const download_file& file,
                   const std::filesystem::path& pack_dir, nlohmann::json& state);

// The two halves of pull_one_file, for a pull that installs several files together: fetch_part_file leaves the
// verified file under its part name (a part file that is already complete and correct costs one read, no
// request); install_part_file renames it into place and records it.
void fetch_part_file(http_session& session, const std::string& base_url, const download_file& file,
                     const std::filesystem::path& pack_dir);
void install_part_file(const download_file& file, const std::filesystem::path& pack_dir, nlohmann::json& state);

// pack_dir / (path + ".part")
std::filesystem::path part_path(const std::filesystem::path& pack_dir, const download_file& file);

// The digest of the file at `path` computed as `file` asks (SHA-256, or SHA-1 over "blob <record size>\0" and the
// content), lower-case hexadecimal; "" when the file cannot be opened. Throws "OpenSSL hash init failed" when no
// hash can be made.
std::string hash_file(const std::filesystem::path& path, const download_file& file);

// Reports a file's progress: at most every 0.5 s on the console ("\r  name  done / total  rate MB/s  time left")
// or every 0.3 s as a launcher "progress" event; a final report always comes out.
void report_progress(download_progress& progress, const std::string& name, uint64_t done, uint64_t total,
                     bool final);

// "%.2f GB" from 10^9 bytes on, else "%.1f MB" (decimal units).
std::string format_size(double bytes);

// A name from the Hub as it may be printed on a terminal: control characters (and the backslash) become "\xNN",
// so that no name can move the cursor, clear the screen or forge lines.
std::string printable_name(const std::string& text);

// Percent-encoding of one URL path segment: ASCII letters, digits and - . _ ~ stay, every other byte is "%XY".
std::string url_encode(const std::string& text);

// Test seam. A test program may define this function; the program itself does not, so the weak reference is null
// there. It is called instead of sleeping between two attempts. (Part-file writes fail on a test's request through
// the platform's write seam, mivra_write_hook in platform/files.h.)
extern "C" void mivra_retry_wait_hook(int seconds) __attribute__((weak));
