// The saved prompt KV store (saved_kv_store.h).
#include "engine/runtime/saved_kv_store.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr char pkv_magic[4] = {'P', 'K', 'V', '1'};

// Large stream buffers: a save writes megabytes in row-sized pieces.
constexpr size_t pkv_buffer_bytes = size_t(1) << 20;

bool starts_with(const std::vector<int32_t>& whole, const std::vector<int32_t>& start) {
    return whole.size() >= start.size() && std::equal(start.begin(), start.end(), whole.begin());
}

size_t common_prefix(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
    const size_t limit = std::min(a.size(), b.size());
    size_t j = 0;
    while (j < limit && a[j] == b[j]) ++j;
    return j;
}

template <typename T>
void put_le(std::string& out, T v) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(char(uint8_t(uint64_t(v) >> (8 * i))));
}

template <typename T>
T get_le(const unsigned char* p) {
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= uint64_t(p[i]) << (8 * i);
    return T(v);
}

}  // namespace

std::string pkv_file_name(const std::vector<int32_t>& tokens) {
    uint64_t h = 0x14650FB0739D0383ull;
    for (int32_t t : tokens) h = (h ^ uint64_t(uint32_t(t))) * 0x100000001B3ull;
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.pkv", static_cast<unsigned long long>(h));
    return name;
}

saved_kv_store::saved_kv_store(fs::path dir, uint64_t budget_mb, uint64_t bytes_per_cell, int32_t n_ctx)
    : dir_(std::move(dir)), budget_mb_(budget_mb), bytes_per_cell_(bytes_per_cell), n_ctx_(n_ctx) {}

bool saved_kv_store::read_header(std::istream& in, std::vector<int32_t>& tokens) const {
    unsigned char head[16];
    if (!in.read(reinterpret_cast<char*>(head), sizeof head) || in.gcount() != std::streamsize(sizeof head)) {
        return false;
    }
    if (std::memcmp(head, pkv_magic, 4) != 0) return false;
    const uint32_t n_tokens = get_le<uint32_t>(head + 4);
    if (get_le<uint64_t>(head + 8) != bytes_per_cell_) return false;
    if (n_tokens > uint32_t(n_ctx_)) return false;
    std::vector<unsigned char> ids(size_t(n_tokens) * 4);
    if (n_tokens > 0 && (!in.read(reinterpret_cast<char*>(ids.data()), std::streamsize(ids.size())) ||
                         in.gcount() != std::streamsize(ids.size()))) {
        return false;
    }
    tokens.resize(n_tokens);
    for (size_t i = 0; i < n_tokens; ++i) tokens[i] = get_le<int32_t>(ids.data() + 4 * i);
    return true;
}

void saved_kv_store::scan() {
    if (!enabled()) return;
    std::error_code ec;
    fs::create_directories(dir_, ec);
    // A pack on read-only media (or with a stray file named "kv") has no store, but it still runs.
    if (!fs::is_directory(dir_, ec)) return;

    struct found {
        fs::file_time_type time;
        saved_kv_entry entry;
    };
    std::vector<found> taken;
    // A file that vanishes between the listing and its use is skipped, never an error.
    for (const fs::directory_entry& de : fs::directory_iterator(dir_)) {
        const fs::path& p = de.path();
        // A .tmp file is a save that a crash interrupted; nothing ever completes it.
        if (p.extension() == ".tmp" && p.stem().extension() == ".pkv") {
            std::error_code rec;
            fs::remove(p, rec);
            continue;
        }
        if (p.extension() != ".pkv") continue;
        std::ifstream in(p, std::ios::binary);
        if (!in) continue;
        saved_kv_entry e;
        if (!read_header(in, e.tokens)) continue;
        in.close();
        std::error_code tec;
        const fs::file_time_type t = fs::last_write_time(p, tec);
        if (tec) continue;
        e.path = p.string();
        taken.push_back({t, std::move(e)});
    }
    std::stable_sort(taken.begin(), taken.end(), [](const found& a, const found& b) { return a.time < b.time; });
    for (found& f : taken) entries_.push_back(std::move(f.entry));
    if (!entries_.empty()) {
        std::fprintf(stderr, "%zu saved prompt KVs in %s\n", entries_.size(), dir_.string().c_str());
    }
}

saved_kv_store::restored saved_kv_store::restore(const std::vector<int32_t>& prompt, int32_t reuse,
                                                 const read_cells_fn& read_cells) {
    if (entries_.empty()) return {reuse, false};
    const int32_t n = int32_t(prompt.size());
    size_t best = 0;
    int32_t best_usable = -1;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const int32_t j = int32_t(common_prefix(prompt, entries_[i].tokens));
        const int32_t usable = std::min(n - 1, j);
        if (usable > best_usable) {
            best_usable = usable;
            best = i;
        }
    }
    if (best_usable <= reuse) return {reuse, false};

    saved_kv_entry entry = std::move(entries_[best]);
    entries_.erase(entries_.begin() + std::ptrdiff_t(best));
    const auto start = std::chrono::steady_clock::now();
    std::vector<char> buffer(pkv_buffer_bytes);
    std::ifstream in;
    in.rdbuf()->pubsetbuf(buffer.data(), std::streamsize(buffer.size()));
    try {
        in.open(fs::path(entry.path), std::ios::binary);
        std::vector<int32_t> stored;
        if (!in || !read_header(in, stored) || stored != entry.tokens) throw std::runtime_error("unreadable");
        read_cells(in, best_usable, int32_t(stored.size()));
    } catch (const std::exception& e) {
        in.close();
        std::fprintf(stderr, "[kv] dropping %s: %s\n", entry.path.c_str(), e.what());
        std::error_code ec;
        fs::remove(fs::path(entry.path), ec);
        return {0, true};
    }
    in.close();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    entries_.push_back(std::move(entry));
    std::fprintf(stderr, "[kv] read %zu prompt tokens from disk in %.2f s\n", size_t(best_usable), seconds);
    return {best_usable, false};
}

// Writes the file of `prompt` under its final name through a ".tmp" file; on failure no file is left behind and
// the reason is thrown.
void saved_kv_store::write_file(const fs::path& final_path, const std::vector<int32_t>& prompt,
                                const write_cells_fn& write_cells) const {
    const int32_t n = int32_t(prompt.size());
    fs::path tmp_path = final_path;
    tmp_path += ".tmp";
    try {
        std::error_code ec;
        fs::create_directories(dir_, ec);
        std::vector<char> buffer(pkv_buffer_bytes);
        std::ofstream out;
        out.rdbuf()->pubsetbuf(buffer.data(), std::streamsize(buffer.size()));
        out.open(tmp_path, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot create file");

        std::string head(pkv_magic, 4);
        put_le<uint32_t>(head, uint32_t(n));
        put_le<uint64_t>(head, bytes_per_cell_);
        for (int32_t t : prompt) put_le<uint32_t>(head, uint32_t(t));
        bool ok = bool(out.write(head.data(), std::streamsize(head.size())));
        if (ok) {
            try {
                write_cells(out, n);
            } catch (...) {
                ok = false;
            }
        }
        out.close();
        if (!ok || !out) throw std::runtime_error("write failed (disk full?)");
        fs::rename(tmp_path, final_path);
    } catch (...) {
        std::error_code ec;
        fs::remove(tmp_path, ec);
        throw;
    }
}

void saved_kv_store::save(const std::vector<int32_t>& prompt, const write_cells_fn& write_cells) {
    if (!enabled()) return;
    for (const saved_kv_entry& e : entries_) {
        if (starts_with(e.tokens, prompt)) return;  // an indexed file already covers the whole prompt
    }
    const fs::path final_path = dir_ / pkv_file_name(prompt);
    try {
        write_file(final_path, prompt, write_cells);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "[kv] not saved: %s\n", e.what());
        return;
    }

    // Files of shorter prompts that this one extends add nothing any more.
    const std::string final_str = final_path.string();
    std::erase_if(entries_, [&](const saved_kv_entry& e) {
        if (!starts_with(prompt, e.tokens) || e.path == final_str) return false;
        std::error_code ec;
        fs::remove(fs::path(e.path), ec);
        return true;
    });
    std::erase_if(entries_, [&](const saved_kv_entry& e) { return e.path == final_str; });
    entries_.push_back({final_str, prompt});
    enforce_budget();
}

// The least recently used files go first; the newest always stays.
void saved_kv_store::enforce_budget() {
    const uint64_t budget = budget_mb_ > (UINT64_MAX >> 20) ? UINT64_MAX : budget_mb_ << 20;
    auto size_of = [](const std::string& p) {
        std::error_code ec;
        const uintmax_t s = fs::file_size(fs::path(p), ec);
        return ec ? uint64_t(0) : uint64_t(s);
    };
    uint64_t total = 0;
    for (const saved_kv_entry& e : entries_) total += size_of(e.path);
    while (entries_.size() > 1 && total > budget) {
        const uint64_t s = size_of(entries_.front().path);
        std::error_code ec;
        fs::remove(fs::path(entries_.front().path), ec);
        total -= std::min(total, s);
        entries_.erase(entries_.begin());
    }
}
