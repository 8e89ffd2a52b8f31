// The expert cache: one arena of equal slots, each holding one expert blob (gate, up and down parts of one expert
// of one layer, laid out as in experts.bin), filled by I/O threads with one unbuffered positioned read per blob.
//
// Threads and locking
// - The owner thread (the engine worker, or the driver of golden/imatrix) makes every call below. Calls from two
//   threads at once are not supported: choosing a victim slot relies on the owner being the only one who pins,
//   claims and evicts. (`stats`, `resident_bytes`, `slots_snapshot`, `n_hot` and `is_hot` only read under the
//   lock and may be called from any thread.)
// - A failed or short read ends the process with "mivra: expert read failed at offset N" on stderr and exit code 1;
//   nothing is retried.
// - The I/O threads take jobs from the two queues and publish the result. `mutex_` guards every field marked
//   [mu]; the I/O threads hold it only to pick a job and to publish it, never during the read itself.
// - A slot's memory is written by an I/O thread only while the slot is loading, and read by the owner only while the
//   slot is ready and pinned: the owner may use slot memory only after `wait_any_ready` has returned the slot,
//   and until the next `unpin_all`.
// - `n_slots`, `expert_bytes`, `arena` and `hot_fraction` change only on the owner thread, so the owner may read them
//   without the lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/direct_file.h"
#include "platform/virtual_memory.h"

struct model;

enum class slot_state : uint8_t { empty = 0, queued = 1, loading = 2, ready = 3 };

struct expert_slot {
    int64_t key = -1;     // layer * n_expert + expert; -1 when empty
    uint64_t stamp = 0;   // cache clock at the last acquire or prefetch (recency for eviction)
    slot_state state = slot_state::empty;
    uint8_t pinned = 0;      // set by acquire, cleared only by unpin_all
    uint8_t prefetched = 0;  // claimed by prefetch and not yet acquired
    uint8_t lowbit = 0;      // holds, or is getting, the copy from experts.lo.bin
    uint8_t reread = 0;      // a full read is wanted as soon as the running low-bit read ends
};

// A read request. Valid only while its slot still holds `key` in state queued; the I/O threads drop any other
// job, so duplicate and outdated jobs are harmless.
struct load_job {
    int32_t slot = -1;
    int64_t key = -1;
};

// Counters since construction.
struct expert_cache_stats {
    uint64_t hits = 0;             // acquires that found the expert ready
    uint64_t misses = 0;           // acquires that had to claim a slot
    uint64_t inflight = 0;         // acquires that found the expert queued or loading
    uint64_t bytes_read = 0;       // bytes of all completed reads
    uint64_t prefetch_issued = 0;
    uint64_t prefetch_used = 0;    // first acquire of a slot claimed by a prefetch
    uint64_t lowbit_reads = 0;     // completed reads from the low-bit file
    uint64_t rereads = 0;          // low-bit copies replaced by a full read
    double wait_seconds = 0.0;     // time the owner spent blocked waiting for reads
};

// Opens a pack expert file for unbuffered random reads; throws "cannot open " + path.
direct_file open_expert_file(const std::string& path);

class expert_cache {
public:
    // Reserves address space for max(reserve, budget) / expert_bytes slots (all experts when that is more, at
    // least 16), commits the slots that `budget` allows, opens one descriptor per I/O thread on each expert file
    // and starts max(1, io_threads) I/O threads. A negative hot_fraction chooses it from the slot count.
    // `m` must outlive the cache. Throws "cannot reserve expert cache address space", "cannot allocate expert
    // cache" or "cannot open " + path.
    expert_cache(const model& m, uint64_t budget, int32_t io_threads, float hot_fraction, uint64_t reserve);
    // Stops and joins the I/O threads (a read in progress finishes, queued jobs are dropped), then releases the
    // arena. The model runner that uses slot memory must be gone first.
    ~expert_cache();

    expert_cache(const expert_cache&) = delete;
    expert_cache& operator=(const expert_cache&) = delete;

    // Counts a use of the expert, makes sure it is resident or on its way and pins its slot; returns the slot.
    // Does not wait for the read. When no slot is free it takes over a slot that an unpinned prefetch claimed
    // but whose read has not started, or else waits until an unpinned read in flight ends; throws
    // "expert cache: every slot is pinned or loading" only when every slot in use is pinned.
    int32_t acquire(int32_t layer, int32_t expert, bool allow_lowbit);
    // The expert is in the cache and its slot is ready; neither pins nor counts a use.
    bool is_ready(int32_t layer, int32_t expert);
    // Blocks until at least one slot of `pending` is ready, then moves the ready ones (in pending order) to the
    // result and leaves the rest, in order, in `pending`. The slots must be pinned. An empty list returns at once.
    std::vector<int32_t> wait_any_ready(std::vector<int32_t>& pending);
    // Clears the pinned flag of every slot.
    void unpin_all();
    // The slot holds (or is getting) the low-bit copy, described by the model's lowbit_layers.
    bool holds_lowbit(int32_t slot);
    // arena + slot * expert_bytes.
    uint8_t* slot_memory(int32_t slot) const { return arena_ + static_cast<uint64_t>(slot) * expert_bytes_; }
    // Switches low-bit mode; throws the --lowbit message when the pack has no low-bit copy. Slots already claimed
    // keep their flag.
    void set_lowbit(bool on);
    // Grows or shrinks the slots in use to what `budget` allows (at least 16, at most the reservation) and returns
    // the new count. Shrinking cancels queued prefetches and waits for reads in flight above the new size; a pinned
    // slot there throws "expert cache: resize while experts are pinned". Growing throws "cannot allocate expert
    // cache" when memory cannot be committed (the size stays).
    int32_t resize(uint64_t budget);
    // (non-empty slots in use) * expert_bytes; queued and loading slots count.
    uint64_t resident_bytes();
    expert_cache_stats stats();

    // Usage, hot set and prefetch (expert_usage.cpp).

    // Queues a speculative read when the expert is absent and a slot can be had without evicting a hot expert.
    // Not a use; the slot is not pinned.
    void prefetch(int32_t layer, int32_t expert, bool allow_lowbit);
    // Frees every slot whose prefetch read has not started and was not acquired since; empties the prefetch queue.
    void cancel_prefetches();
    // Copy of the usage scores, one per key (for hot.bin).
    std::vector<float> usage_snapshot();
    // Adopts saved scores of exactly n_layer * n_expert entries, rebuilds the hot set and queues reads of the most
    // used experts (at most one per slot, full precision; when there is a slot for every expert, all of them, the
    // unused ones last), behind demand and prefetch reads and never cancelled by cancel_prefetches. A vector of
    // another length changes nothing.
    void warm_start(const std::vector<float>& saved);
    // Blocks until every read that warm_start queued has ended (or was dropped because its slot went to another
    // expert).
    void wait_warm_start();

    // Called on the I/O thread that completed a read, before the slot is published as ready: until the call
    // returns, that thread is the only one touching the slot's memory. The model runner uses it to repack experts
    // that will stay resident off its compute threads. Setting another function (or an empty one) first waits for
    // calls in progress to end, so that what the old function uses may then be destroyed.
    using after_read_fn = std::function<void(int32_t slot, int64_t key, bool lowbit)>;
    void set_after_read(after_read_fn fn);

    // Owner-thread reads (no lock needed there, see above).
    uint8_t* arena() const { return arena_; }
    uint64_t expert_bytes() const { return expert_bytes_; }
    int32_t n_slots() const { return n_slots_; }
    int32_t n_reserved() const { return static_cast<int32_t>(slots_.size()); }
    float hot_fraction() const { return hot_fraction_; }

    // The expert is expected to stay resident for many uses: the cache has a slot for every expert, or most recent
    // acquires found their expert ready (each read serves several uses), or the key is hot and used at least twice as
    // often as the average key (as of the last recomputation of the hot set). Work that pays off only over many
    // uses of a resident blob (repacking it) is worth doing for these alone.
    bool expected_to_stay(int64_t key);

    // Every expert of the model is ready in its own slot, expert key k in slot k, all full precision: each layer's
    // experts then lie in the arena as one array in expert order, and a step may compute them straight from the
    // router's choices without acquiring them (see the model runner's resident step).
    bool every_expert_in_key_order();
    // Counts the uses of experts that a step computed in place after every_expert_in_key_order held: each is a hit,
    // as acquire counts it, without a pin.
    void count_uses_in_place(const std::vector<int64_t>& keys);
    // Reads started since construction: slot memory changes only with a read, so work done on resident blobs (their
    // repacking) still holds while this count is unchanged.
    uint64_t reads_started();

    // Inspection for diagnostics and tests: copies taken under the lock.
    std::vector<expert_slot> slots_snapshot();  // the first n_slots slots
    int32_t n_hot();
    bool is_hot(int64_t key);

private:
    int32_t choose_slot(int64_t key, bool prefetch, bool allow_lowbit);   // [mu held]
    int32_t choose_victim(bool prefetch) const;                           // [mu held]
    int32_t claim_for_demand(std::unique_lock<std::mutex>& lock, int64_t key, bool allow_lowbit);  // [mu held]
    void claim(int32_t s, int64_t key, bool prefetch, bool allow_lowbit); // [mu held]
    void free_slot(int32_t s);                                            // [mu held]
    void cancel_prefetches_locked();                                      // [mu held]
    void note_use(int64_t key);                                           // [mu held]
    void recompute_hot_set();                                             // [mu held]
    void set_slot_count(int32_t target);                                  // [mu held]
    int32_t target_slots(uint64_t budget) const;
    void io_loop(int32_t i);
    void stop_io_threads();

    const model* model_;
    int32_t n_expert_ = 0;
    int64_t n_keys_ = 0;          // n_layer * n_expert
    uint64_t expert_bytes_ = 0;
    reserved_memory arena_mem_;
    uint8_t* arena_ = nullptr;

    std::vector<expert_slot> slots_;               // [mu] n_reserved entries
    int32_t n_slots_ = 0;                          // [mu] written by the owner only
    std::unordered_map<int64_t, int32_t> index_;   // [mu] keys of the non-empty slots in use
    uint64_t clock_ = 0;                           // [mu]
    float hot_fraction_ = 0.0f;                    // [mu] written by the owner only
    bool auto_hot_ = false;
    int32_t n_hot_ = 0;                            // [mu]
    std::vector<float> usage_;                     // [mu]
    std::vector<uint8_t> hot_;                     // [mu]
    uint64_t uses_ = 0;                            // [mu]
    float busy_score_ = 0.0f;                      // [mu] twice the mean usage score at the last hot-set update
    float recent_hits_ = 0.0f;                     // [mu] share of recent acquires that found the expert ready

    std::mutex mutex_;
    std::condition_variable work_cv_;    // a job was queued, or stopping
    std::condition_variable ready_cv_;   // a read ended (a slot became ready)
    std::deque<load_job> demand_;        // [mu] reads the owner waits for
    std::deque<load_job> prefetches_;    // [mu] speculative reads
    std::deque<load_job> warm_;          // [mu] reads of the warm start, taken last
    int64_t warm_left_ = 0;              // [mu] warm-start jobs not yet taken and ended
    after_read_fn after_read_;           // [mu]
    int32_t after_read_calls_ = 0;       // [mu] calls of after_read_ in progress
    std::vector<std::thread> io_threads_;
    std::vector<direct_file> full_files_;    // one per I/O thread, used only by that thread
    std::vector<direct_file> lowbit_files_;  // same; closed (invalid) when the pack has no low-bit copy
    bool lowbit_ = false;                // [mu]
    bool stopping_ = false;              // [mu]
    expert_cache_stats stats_;           // [mu]
    uint64_t reads_started_ = 0;         // [mu]
};
