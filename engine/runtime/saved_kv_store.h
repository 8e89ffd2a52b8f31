// The saved prompt KV store: prompts evaluated completely are kept as .pkv files in the pack's kv folder so that a
// later request with the same start reads their cells instead of evaluating them, also after a restart.
//
// File: "PKV1", u32 n_tokens, u64 bytes_per_cell, n_tokens i32 token ids, then the cells as the model runner writes
// them, all little-endian. The name is a hash of the token ids (pkv_file_name). Files appear only through a rename of
// a complete ".tmp" file; another process may save into or evict from the same folder at any time, so a file that
// vanishes or changes under the store is dropped, never an error.
//
// The store knows files and their token ids; the cells themselves go in and out through the caller's function
// objects, so it can be driven without a model runner.
//
// Threads: one thread at a time (the engine's constructing thread for scan(), then its worker thread only); no lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

// One saved prompt KV file in the index of the store.
struct saved_kv_entry {
    std::string path;             // full path of the .pkv file (UTF-8)
    std::vector<int32_t> tokens;  // the prompt token ids stored in it
};

// The file name of a saved prompt KV: a 64-bit hash of the token ids as 16 lower-case hex digits, then ".pkv".
std::string pkv_file_name(const std::vector<int32_t>& tokens);

class saved_kv_store {
public:
    // Reads `n_use` cells from `in` into the caller's slot; the file holds `n_stored` cells from the stream's
    // position on. Throws when the cells cannot be read.
    using read_cells_fn = std::function<void(std::istream& in, int32_t n_use, int32_t n_stored)>;
    // Writes the caller's `n` cells to `out`. Throws (or leaves `out` failed) when they cannot be written.
    using write_cells_fn = std::function<void(std::ostream& out, int32_t n)>;

    // A store over `dir` (the pack's kv folder) with a disk budget of `budget_mb` MiB (0: the store is off and
    // does nothing), for a model whose cells take `bytes_per_cell` bytes each and whose context holds `n_ctx`
    // tokens (files of longer prompts are not taken). Touches no file.
    saved_kv_store(std::filesystem::path dir, uint64_t budget_mb, uint64_t bytes_per_cell, int32_t n_ctx);
    saved_kv_store(const saved_kv_store&) = delete;
    saved_kv_store& operator=(const saved_kv_store&) = delete;

    bool enabled() const { return budget_mb_ != 0; }
    const std::filesystem::path& dir() const { return dir_; }
    // The index, least recently used first.
    const std::vector<saved_kv_entry>& entries() const { return entries_; }

    // Creates the folder when missing, deletes the .pkv.tmp files that interrupted saves left in it, and indexes the
    // readable .pkv files of this model in it, oldest first; prints
    // "%zu saved prompt KVs in %s\n" on stderr when it found any. A folder that cannot exist leaves the store empty.
    void scan();

    // What restore() did.
    struct restored {
        int32_t tokens = 0;   // leading prompt tokens whose cells are now in the caller's slot
        bool failed = false;  // a file was chosen but could not be read: it was dropped, the slot's cells are void
    };
    // Finds the indexed file that shares the longest start with `prompt` (at most all but its last token); when
    // that start is longer than `reuse`, reads its cells through `read_cells` and prints "[kv] read ..." on stderr.
    // A file that fails is dropped from disk and index with "[kv] dropping %s: %s\n". Returns {reuse, false} when
    // no file beats `reuse`.
    restored restore(const std::vector<int32_t>& prompt, int32_t reuse, const read_cells_fn& read_cells);

    // Saves the cells of a fully evaluated `prompt` through `write_cells`, unless the store is off or an indexed file
    // already covers the whole prompt. Files of shorter prompts that this one extends are removed, then the least
    // recently used files while the folder is over the budget (the newest always stays). A failure prints
    // "[kv] not saved: %s\n" and leaves no file behind.
    void save(const std::vector<int32_t>& prompt, const write_cells_fn& write_cells);

private:
    // Reads and checks a .pkv header and its token ids; the stream is then at the cells.
    bool read_header(std::istream& in, std::vector<int32_t>& tokens) const;
    void write_file(const std::filesystem::path& final_path, const std::vector<int32_t>& prompt,
                    const write_cells_fn& write_cells) const;
    void enforce_budget();

    std::filesystem::path dir_;
    uint64_t budget_mb_;
    uint64_t bytes_per_cell_;
    int32_t n_ctx_;
    std::vector<saved_kv_entry> entries_;
};
