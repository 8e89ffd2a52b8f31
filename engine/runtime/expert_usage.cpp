// Usage scores, the hot set, prefetching and the warm start of the expert cache.
//
// A usage score counts the acquires of its expert and is halved for every key at each 4096th acquire of the cache,
// a decaying count with a half-life of 4096 uses. The hot set is the n_hot keys with the highest scores (at least
// 1e-6, so unused keys are never hot; ties at the n_hot-th score go to resident keys first); eviction spares hot
// experts, and they always get the full copy.
#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <stdexcept>

#include "engine/runtime/expert_cache.h"

namespace {

constexpr uint64_t halving_period = 4096;
constexpr uint64_t hot_refresh_period = 256;
constexpr float min_hot_score = 1e-6f;
// A hot expert used this many times as often as the average one is expected to stay resident. Under routing that
// spreads evenly (every score near the average, where ties can make most keys hot) no expert qualifies.
constexpr double busy_factor = 2.0;
// When this share of recent acquires finds the expert ready, a blob read from disk serves about five uses on
// average before it is evicted: every resident expert is expected to stay.
constexpr float mostly_hits = 0.8f;

}  // namespace

void expert_cache::note_use(int64_t key) {
    uses_++;
    usage_[key] += 1.0f;
    if (uses_ % halving_period == 0)
        for (float& v : usage_) v *= 0.5f;
    if (uses_ % hot_refresh_period == 0 && n_hot_ > 0) recompute_hot_set();
}

void expert_cache::recompute_hot_set() {
    if (n_hot_ <= 0) return;
    std::vector<float> scores = usage_;
    const size_t n = std::min<size_t>(static_cast<size_t>(n_hot_), scores.size());
    std::nth_element(scores.begin(), scores.begin() + (n - 1), scores.end(), std::greater<float>());
    const float threshold = std::max(min_hot_score, scores[n - 1]);
    // Everything above the threshold is hot; keys tied at it fill the set up to n_hot, resident ones first, then in
    // key order. Uses are whole counts (a prompt chunk counts each of its experts once), so ties are common, and
    // a set that took every tied key would hold nearly every expert used: with nothing left outside it, no
    // prefetch could find a slot and every expert of a streaming model would be read on demand.
    size_t count = 0;
    for (size_t k = 0; k < usage_.size(); ++k) {
        hot_[k] = usage_[k] > threshold ? 1 : 0;
        count += hot_[k];
    }
    auto take_tied = [&](int64_t k) {
        if (count < n && !hot_[k] && usage_[k] == threshold) {
            hot_[k] = 1;
            ++count;
        }
    };
    for (const auto& [key, slot] : index_) take_tied(key);
    for (int64_t k = 0; k < n_keys_ && count < n; ++k) take_tied(k);
    const double total = std::accumulate(usage_.begin(), usage_.end(), 0.0);
    busy_score_ = static_cast<float>(busy_factor * total / static_cast<double>(usage_.size()));
}

void expert_cache::prefetch(int32_t layer, int32_t expert, bool allow_lowbit) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (layer < 0 || expert < 0 || expert >= n_expert_ || static_cast<int64_t>(layer) * n_expert_ >= n_keys_)
        throw std::runtime_error("expert cache: expert out of range");
    int64_t key = static_cast<int64_t>(layer) * n_expert_ + expert;
    if (index_.count(key) != 0) return;
    int32_t s = choose_slot(key, true, allow_lowbit);
    if (s < 0) return;
    slots_[s].stamp = ++clock_;
    prefetches_.push_back({s, key});
    stats_.prefetch_issued++;
    lock.unlock();
    work_cv_.notify_one();
}

void expert_cache::cancel_prefetches() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_prefetches_locked();
}

void expert_cache::cancel_prefetches_locked() {
    for (const load_job& job : prefetches_) {
        const expert_slot& sl = slots_[job.slot];
        if (sl.key == job.key && sl.state == slot_state::queued && sl.prefetched) free_slot(job.slot);
    }
    prefetches_.clear();
}

std::vector<float> expert_cache::usage_snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return usage_;
}

void expert_cache::warm_start(const std::vector<float>& saved) {
    if (static_cast<int64_t>(saved.size()) != n_keys_) return;
    // A damaged hot.bin may hold NaNs, which would break every ordering below: they count as never used.
    std::vector<float> scores = saved;
    for (float& v : scores)
        if (std::isnan(v)) v = 0.0f;
    int32_t slot_count;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        usage_ = scores;
        recompute_hot_set();
        slot_count = n_slots_;
    }
    size_t k = std::min<size_t>(static_cast<size_t>(slot_count), scores.size());
    std::vector<int64_t> order(scores.size());
    std::iota(order.begin(), order.end(), 0);
    std::partial_sort(order.begin(), order.begin() + k, order.end(), [&](int64_t a, int64_t b) {
        return scores[a] > scores[b] || (scores[a] == scores[b] && a < b);
    });
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t i = 0; i < k; ++i) {
        int64_t key = order[i];
        // With a slot for every expert the unused ones come too (last), as a model load reads every weight.
        if (!(scores[key] > 0.0f) && slot_count < n_keys_) break;
        if (index_.count(key) != 0) continue;
        int32_t s = choose_slot(key, true, false);
        if (s < 0) break;
        slots_[s].stamp = ++clock_;
        warm_.push_back({s, key});
        warm_left_++;
        stats_.prefetch_issued++;
    }
    lock.unlock();
    work_cv_.notify_all();
}

void expert_cache::wait_warm_start() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_cv_.wait(lock, [&] { return warm_left_ == 0 || stopping_; });
}

void expert_cache::set_after_read(after_read_fn fn) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_cv_.wait(lock, [&] { return after_read_calls_ == 0; });
    after_read_ = std::move(fn);
}

int32_t expert_cache::n_hot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return n_hot_;
}

bool expert_cache::expected_to_stay(int64_t key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (key < 0 || key >= n_keys_) return false;
    if (n_slots_ >= n_keys_ || recent_hits_ >= mostly_hits) return true;
    return hot_[key] != 0 && usage_[key] >= busy_score_;
}

bool expert_cache::is_hot(int64_t key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return key >= 0 && key < n_keys_ && hot_[key] != 0;
}
