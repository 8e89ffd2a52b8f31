#include "engine/runtime/expert_cache.h"


#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "engine/pack/model.h"

namespace {

constexpr int32_t min_slots = 16;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A read that ends early means the pack is damaged or the disk failed; nothing above could recover.
[[noreturn]] void fail_read(uint64_t offset) {
    std::fprintf(stderr, "mivra: expert read failed at offset %llu\n", static_cast<unsigned long long>(offset));
    std::fflush(stderr);
    _exit(EXIT_FAILURE);
}

}  // namespace

direct_file open_expert_file(const std::string& path) {
    direct_file f;
    if (!f.open(path)) throw std::runtime_error("cannot open " + path);
    return f;
}

expert_cache::expert_cache(const model& m, uint64_t budget, int32_t io_threads, float hot_fraction,
                           uint64_t reserve)
    : model_(&m), n_expert_(m.hparams.n_expert), expert_bytes_(m.expert_bytes) {
    n_keys_ = static_cast<int64_t>(m.hparams.n_layer) * n_expert_;
    // Every blob must fit its slot, or a read would run into the next slot.
    for (const auto* table : {&m.expert_layers, &m.lowbit_layers})
        for (const pack_layer& l : *table)
            if (l.stride > expert_bytes_) throw std::runtime_error("cannot reserve expert cache address space");
    if (expert_bytes_ == 0 || n_keys_ <= 0 || static_cast<int64_t>(m.expert_layers.size()) < m.hparams.n_layer)
        throw std::runtime_error("cannot reserve expert cache address space");

    uint64_t total = static_cast<uint64_t>(n_keys_);
    uint64_t want = std::max(reserve, budget) / expert_bytes_;
    uint64_t n_reserved = total < want ? total : std::max<uint64_t>(min_slots, want);
    n_reserved = std::min<uint64_t>(n_reserved, std::numeric_limits<int32_t>::max());
    if (n_reserved > std::numeric_limits<uint64_t>::max() / expert_bytes_)
        throw std::runtime_error("cannot reserve expert cache address space");
    arena_mem_ = reserved_memory(n_reserved * expert_bytes_);
    if (!arena_mem_.valid()) throw std::runtime_error("cannot reserve expert cache address space");
    arena_ = arena_mem_.data();
    advise_huge_pages(arena_, arena_mem_.size());

    slots_.assign(n_reserved, expert_slot{});
    usage_.assign(static_cast<size_t>(n_keys_), 0.0f);
    hot_.assign(static_cast<size_t>(n_keys_), 0);
    hot_fraction_ = hot_fraction;
    auto_hot_ = hot_fraction < 0;

    resize(budget);

    // Every descriptor is opened before the first thread starts, so a missing file leaves nothing running.
    int32_t n_threads = std::max(1, io_threads);
    for (int32_t i = 0; i < n_threads; ++i) {
        full_files_.push_back(open_expert_file(m.experts_path));
        lowbit_files_.push_back(m.lowbit_layers.empty() ? direct_file() : open_expert_file(m.lowbit_path));
    }
    try {
        for (int32_t i = 0; i < n_threads; ++i) io_threads_.emplace_back(&expert_cache::io_loop, this, i);
    } catch (...) {
        stop_io_threads();
        throw;
    }
}

expert_cache::~expert_cache() { stop_io_threads(); }

void expert_cache::stop_io_threads() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_cv_.notify_all();
    ready_cv_.notify_all();
    for (std::thread& t : io_threads_) t.join();
    io_threads_.clear();
}

int32_t expert_cache::acquire(int32_t layer, int32_t expert, bool allow_lowbit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (layer < 0 || expert < 0 || expert >= n_expert_ || static_cast<int64_t>(layer) * n_expert_ >= n_keys_)
        throw std::runtime_error("expert cache: expert out of range");
    int64_t key = static_cast<int64_t>(layer) * n_expert_ + expert;
    note_use(key);

    bool queued_job = false;
    int32_t s;
    auto it = index_.find(key);
    if (it != index_.end()) {
        s = it->second;
        expert_slot& sl = slots_[s];
        bool handled = false;
        if (sl.lowbit && (hot_[key] || !allow_lowbit)) {
            // The full copy is wanted where a low-bit one is held or coming.
            if (sl.state == slot_state::ready) {
                sl.state = slot_state::queued;
                sl.lowbit = 0;
                demand_.push_back({s, key});
                queued_job = true;
                stats_.rereads++;
                handled = true;
            } else if (!allow_lowbit && sl.state == slot_state::queued) {
                sl.lowbit = 0;
                demand_.push_front({s, key});
                queued_job = true;
                stats_.inflight++;
                handled = true;
            } else if (!allow_lowbit && sl.state == slot_state::loading) {
                sl.reread = 1;
                stats_.inflight++;
                handled = true;
            }
        }
        if (!handled) {
            if (sl.state == slot_state::ready) {
                stats_.hits++;
            } else {
                stats_.inflight++;
                if (sl.state == slot_state::queued) {
                    // Urgent now: the older job in either queue goes stale once this one has run.
                    demand_.push_front({s, key});
                    queued_job = true;
                }
            }
        }
        if (sl.prefetched) {
            stats_.prefetch_used++;
            sl.prefetched = 0;
        }
    } else {
        s = claim_for_demand(lock, key, allow_lowbit);
        demand_.push_back({s, key});
        queued_job = true;
        stats_.misses++;
    }
    slots_[s].pinned = 1;
    slots_[s].stamp = ++clock_;
    // A decaying share over about the last thousand acquires.
    const float hit = slots_[s].state == slot_state::ready ? 1.0f : 0.0f;
    recent_hits_ += (hit - recent_hits_) * (1.0f / 1024.0f);
    lock.unlock();
    if (queued_job) work_cv_.notify_one();
    return s;
}

int32_t expert_cache::claim_for_demand(std::unique_lock<std::mutex>& lock, int64_t key, bool allow_lowbit) {
    bool waited = false;
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        int32_t s = choose_slot(key, false, allow_lowbit);
        if (s < 0) {
            // Nothing free or ready: take over a prefetch whose read has not started (the newest, which the I/O
            // threads would reach last), else wait for an unpinned read in flight to end.
            bool in_flight = false;
            for (int32_t i = 0; i < n_slots_; ++i) {
                const expert_slot& sl = slots_[i];
                if (sl.pinned) continue;
                if (sl.state == slot_state::queued && sl.prefetched) {
                    if (s < 0 || sl.stamp > slots_[s].stamp) s = i;
                } else if (sl.state == slot_state::queued || sl.state == slot_state::loading) {
                    in_flight = true;
                }
            }
            if (s >= 0) {
                claim(s, key, false, allow_lowbit);
            } else if (in_flight) {
                waited = true;
                ready_cv_.wait(lock);
                continue;
            } else {
                throw std::runtime_error("expert cache: every slot is pinned or loading");
            }
        }
        if (waited) stats_.wait_seconds += seconds_since(t0);
        return s;
    }
}

int32_t expert_cache::choose_victim(bool prefetch) const {
    int32_t coldest = -1;  // least recently used ready slot that is not hot
    int32_t oldest = -1;   // least recently used ready slot
    for (int32_t i = 0; i < n_slots_; ++i) {
        const expert_slot& sl = slots_[i];
        if (sl.pinned || sl.state == slot_state::queued || sl.state == slot_state::loading) continue;
        if (sl.state == slot_state::empty) return i;
        if (!hot_[sl.key] && (coldest < 0 || sl.stamp < slots_[coldest].stamp)) coldest = i;
        if (oldest < 0 || sl.stamp < slots_[oldest].stamp) oldest = i;
    }
    if (coldest >= 0) return coldest;
    return prefetch ? -1 : oldest;
}

int32_t expert_cache::choose_slot(int64_t key, bool prefetch, bool allow_lowbit) {
    // With a slot for every expert, an expert goes to the slot of its own key while that one is free: each layer's
    // experts then end up side by side in expert order (every_expert_in_key_order).
    int32_t s = n_slots_ >= n_keys_ && slots_[key].state == slot_state::empty && !slots_[key].pinned
                    ? static_cast<int32_t>(key)
                    : choose_victim(prefetch);
    if (s >= 0) claim(s, key, prefetch, allow_lowbit);
    return s;
}

void expert_cache::claim(int32_t s, int64_t key, bool prefetch, bool allow_lowbit) {
    expert_slot& sl = slots_[s];
    if (sl.key >= 0) index_.erase(sl.key);
    // A low-bit table shorter than the full one has no copy for the layers past its end.
    bool has_lowbit_copy = key / n_expert_ < static_cast<int64_t>(model_->lowbit_layers.size());
    sl.key = key;
    sl.state = slot_state::queued;
    sl.prefetched = prefetch ? 1 : 0;
    sl.lowbit = (lowbit_ && allow_lowbit && !hot_[key] && has_lowbit_copy) ? 1 : 0;
    sl.reread = 0;
    index_[key] = s;
}

void expert_cache::free_slot(int32_t s) {
    expert_slot& sl = slots_[s];
    if (sl.key >= 0) index_.erase(sl.key);
    sl = expert_slot{};
}

bool expert_cache::is_ready(int32_t layer, int32_t expert) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(static_cast<int64_t>(layer) * n_expert_ + expert);
    return it != index_.end() && slots_[it->second].state == slot_state::ready;
}

std::vector<int32_t> expert_cache::wait_any_ready(std::vector<int32_t>& pending) {
    std::vector<int32_t> ready;
    if (pending.empty()) return ready;
    std::unique_lock<std::mutex> lock(mutex_);
    auto any_ready = [&] {
        for (int32_t s : pending) {
            if (slots_[s].state == slot_state::ready) return true;
            // An empty slot will never become ready: the caller lost its pin.
            if (slots_[s].state == slot_state::empty)
                throw std::runtime_error("expert cache: waiting for a slot that holds no expert");
        }
        return false;
    };
    if (!any_ready()) {
        auto t0 = std::chrono::steady_clock::now();
        ready_cv_.wait(lock, any_ready);
        stats_.wait_seconds += seconds_since(t0);
    }
    size_t kept = 0;
    for (int32_t s : pending) {
        if (slots_[s].state == slot_state::ready)
            ready.push_back(s);
        else
            pending[kept++] = s;
    }
    pending.resize(kept);
    return ready;
}

void expert_cache::unpin_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int32_t i = 0; i < n_slots_; ++i) slots_[i].pinned = 0;
}

bool expert_cache::holds_lowbit(int32_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_[slot].lowbit != 0;
}

void expert_cache::set_lowbit(bool on) {
    if (on && model_->lowbit_layers.empty())
        throw std::runtime_error(
            "--lowbit needs experts.lo.bin in the pack (mivra pack --lowbit, or mivra pull --lowbit)");
    std::lock_guard<std::mutex> lock(mutex_);
    lowbit_ = on;
}

int32_t expert_cache::target_slots(uint64_t budget) const {
    uint64_t want = budget / expert_bytes_;
    uint64_t n_reserved = slots_.size();
    uint64_t target = n_reserved < want ? n_reserved : std::max<uint64_t>(min_slots, want);
    return static_cast<int32_t>(std::min(target, n_reserved));
}

int32_t expert_cache::resize(uint64_t budget) {
    int32_t target = target_slots(budget);
    std::unique_lock<std::mutex> lock(mutex_);
    if (target == n_slots_) return target;
    if (target > n_slots_) {
        uint64_t bytes = static_cast<uint64_t>(target - n_slots_) * expert_bytes_;
        if (!commit_memory(slot_memory(n_slots_), bytes)) throw std::runtime_error("cannot allocate expert cache");
    } else {
        cancel_prefetches_locked();
        // No read may be writing into memory that is about to be decommitted.
        ready_cv_.wait(lock, [&] {
            for (int32_t i = target; i < n_slots_; ++i)
                if (slots_[i].state == slot_state::queued || slots_[i].state == slot_state::loading) return false;
            return true;
        });
        for (int32_t i = target; i < n_slots_; ++i) {
            if (slots_[i].pinned) throw std::runtime_error("expert cache: resize while experts are pinned");
            free_slot(i);
        }
        decommit_memory(slot_memory(target), static_cast<uint64_t>(n_slots_ - target) * expert_bytes_);
    }
    set_slot_count(target);
    return target;
}

void expert_cache::set_slot_count(int32_t target) {
    n_slots_ = target;
    if (auto_hot_) {
        int64_t per_token = static_cast<int64_t>(model_->hparams.n_layer) * model_->hparams.n_expert_used;
        hot_fraction_ = target < per_token ? 0.9f : target < 2 * per_token ? 0.5f : 0.75f;
    }
    n_hot_ = static_cast<int32_t>(static_cast<float>(target) * hot_fraction_);
}

uint64_t expert_cache::resident_bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t n = 0;
    for (int32_t i = 0; i < n_slots_; ++i)
        if (slots_[i].key != -1) ++n;
    return n * expert_bytes_;
}

expert_cache_stats expert_cache::stats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

bool expert_cache::every_expert_in_key_order() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (n_slots_ != n_keys_) return false;
    for (int32_t i = 0; i < n_slots_; ++i) {
        const expert_slot& sl = slots_[i];
        if (sl.key != i || sl.state != slot_state::ready || sl.lowbit) return false;
    }
    return true;
}

void expert_cache::count_uses_in_place(const std::vector<int64_t>& keys) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int64_t key : keys) {
        if (key < 0 || key >= n_keys_) continue;
        note_use(key);
        stats_.hits++;
        auto it = index_.find(key);
        if (it != index_.end()) {
            expert_slot& sl = slots_[it->second];
            sl.stamp = ++clock_;
            if (sl.prefetched) {
                stats_.prefetch_used++;
                sl.prefetched = 0;
            }
        }
        recent_hits_ += (1.0f - recent_hits_) * (1.0f / 1024.0f);
    }
}

uint64_t expert_cache::reads_started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_started_;
}

std::vector<expert_slot> expert_cache::slots_snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<expert_slot>(slots_.begin(), slots_.begin() + n_slots_);
}

void expert_cache::io_loop(int32_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) return;
        if (demand_.empty() && prefetches_.empty() && warm_.empty()) {
            work_cv_.wait(lock);
            continue;
        }
        std::deque<load_job>& queue = !demand_.empty() ? demand_ : !prefetches_.empty() ? prefetches_ : warm_;
        const bool warm = &queue == &warm_;
        load_job job = queue.front();
        queue.pop_front();
        expert_slot& sl = slots_[job.slot];
        if (sl.key != job.key || sl.state != slot_state::queued) {
            if (warm && --warm_left_ == 0) ready_cv_.notify_all();
            continue;
        }
        sl.state = slot_state::loading;
        reads_started_++;
        bool lowbit = sl.lowbit != 0;
        lock.unlock();

        int64_t layer = job.key / n_expert_;
        int64_t expert = job.key % n_expert_;
        const pack_layer& l = lowbit ? model_->lowbit_layers[layer] : model_->expert_layers[layer];
        uint64_t offset = l.offset + static_cast<uint64_t>(expert) * l.stride;
        direct_file& file = lowbit ? lowbit_files_[i] : full_files_[i];
        if (file.read_at(slot_memory(job.slot), l.stride, offset) != l.stride) fail_read(offset);

        lock.lock();
        if (after_read_ && !sl.reread) {
            const after_read_fn call = after_read_;
            after_read_calls_++;
            lock.unlock();
            call(job.slot, job.key, lowbit);
            lock.lock();
            if (--after_read_calls_ == 0) ready_cv_.notify_all();
        }
        if (warm && --warm_left_ == 0) ready_cv_.notify_all();
        stats_.bytes_read += l.stride;
        if (lowbit) stats_.lowbit_reads++;
        if (sl.reread) {
            sl.lowbit = 0;
            sl.reread = 0;
            sl.state = slot_state::queued;
            demand_.push_front(job);
            stats_.rereads++;
            work_cv_.notify_one();
        } else {
            sl.state = slot_state::ready;
            lock.unlock();
            ready_cv_.notify_all();
            lock.lock();
        }
    }
}
