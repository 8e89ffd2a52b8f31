// Repacking resident experts into the interleaved layouts of ggml's CPU_REPACK buffer type, in place in the
// expert cache's slot memory, so that the expert FFN runs on the same faster kernels that libllama uses for its
// weights (q4_0, q4_K, iq4_nl and mxfp4 in groups of 8 rows on x86).
//
// A repacked layout has exactly the bytes of the plain one, only interleaved, so a part keeps its offset and size.
// The cache may read a blob into a slot again at any time it is unpinned, so a repacked slot is recognised by its
// content: when a blob is repacked, the first 16-byte window whose bytes the repacking changed is remembered with
// its new bytes, per slot, together with the expert key and layer table. A fresh read of that expert holds the
// plain bytes there, which differ by construction; a blob that repacking leaves unchanged needs no tracking.
//
// Threads: one thread (the runner's) calls everything here, except `run`, which the threads of a ggml graph call
// at once for different pieces of one job, and `repack_blob` and `is_repacked`, which the expert cache's I/O threads
// also call, each for a slot that it alone is loading, once the tables are complete (every layer asked
// `layer_repackable`, `reserve_slots` for every slot).
#pragma once

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "engine/pack/model.h"

struct ggml_backend_buffer;
struct ggml_backend_device;
struct ggml_tensor;

class expert_repacker {
public:
    // Finds the CPU device's CPU_REPACK buffer type; without one every query says no and nothing is repacked.
    // ggml announces every repacking on its debug log level, so while a repacker exists ggml's debug messages are
    // dropped before they reach the log callback installed before it (its other messages pass on unchanged).
    explicit expert_repacker(ggml_backend_device* cpu_device);
    ~expert_repacker();
    expert_repacker(const expert_repacker&) = delete;
    expert_repacker& operator=(const expert_repacker&) = delete;

    // The kernel traits for a part of this type and shape, or null when ggml has no repacked kernel for it.
    void* traits(const pack_part& part);
    // Every part of the layer table has a repacked kernel.
    bool layer_repackable(const pack_layer& pl);
    // Marks a weight view for the repacked kernels (its data must hold repacked bytes).
    void mark(ggml_tensor* view, const pack_part& part);

    // The blob in `slot` (expert `key`, from the low-bit table or not) holds the repacked layout.
    bool is_repacked(int32_t slot, const uint8_t* blob, int64_t key, bool lowbit) const;

    // Repacking several blobs in place, cut into pieces of rows that many threads share.
    struct job {
        struct blob {
            int32_t slot;
            int64_t key;
            bool lowbit;
        };
        struct piece {
            const pack_part* part;
            uint8_t* blob_base;
            int64_t r0, r1;  // rows, multiples of 8
            size_t blob;     // index into blobs
            bool changed = false;
            uint64_t window = 0;  // blob offset of the first 16-byte window this piece changed
        };
        std::vector<blob> blobs;
        std::vector<piece> pieces;
    };
    // Makes room for the records of slots 0 .. n - 1, so that repacking blobs of different slots on different
    // threads never resizes the table under another thread.
    void reserve_slots(size_t n) {
        if (n > slots_.size()) slots_.resize(n);
    }
    // Adds a plain blob to the job (and forgets what the slot held before).
    void plan(job& j, int32_t slot, uint8_t* blob, const pack_layer& pl, int64_t key, bool lowbit);
    // Repacks pieces ith, ith + nth, ... of the job.
    void run(job& j, int ith, int nth);
    // After every piece ran: remembers each blob as repacked.
    void finish(const job& j);
    // plan, run and finish on the calling thread.
    void repack_blob(int32_t slot, uint8_t* blob, const pack_layer& pl, int64_t key, bool lowbit);

private:
    // Repacks rows [r0, r1) of the part that starts at `data`, in place; returns the plain bytes.
    std::vector<uint8_t> repack_rows(const pack_part& part, uint8_t* data, int64_t r0, int64_t r1);

    struct slot_record {
        int64_t key = -1;
        bool lowbit = false;
        bool changed = false;     // repacking changed some byte; else any content counts as repacked
        uint64_t window = 0;      // offset in the blob of the first changed 16-byte window
        uint8_t bytes[16] = {};   // its repacked bytes
    };

    ggml_backend_buffer* buffer_ = nullptr;  // a small CPU_REPACK buffer: its type selects the kernels
    bool filtering_log_ = false;
    std::map<std::tuple<int32_t, int64_t, int64_t>, void*> traits_;
    std::vector<slot_record> slots_;  // by slot index
};
