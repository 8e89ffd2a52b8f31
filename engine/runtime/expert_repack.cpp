#include "engine/runtime/expert_repack.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ggml-backend.h"
#include "ggml-cpp.h"
#include "ggml.h"

namespace {

// The log callback that was installed when the debug filter went in, and how many repackers share the filter.
ggml_log_callback forward_log = nullptr;
void* forward_data = nullptr;
int filter_users = 0;

void drop_debug(ggml_log_level level, const char* text, void* data) {
    if (level == GGML_LOG_LEVEL_DEBUG) return;
    if (forward_log) forward_log(level, text, forward_data);
}

// A descriptor of the part's type and shape (rows rows) in a context of its own, which `ctx` then owns.
ggml_tensor* describe(ggml_context_ptr& ctx, const pack_part& part, int64_t rows) {
    ctx.reset(ggml_init({ggml_tensor_overhead() + 64, nullptr, true}));
    return ggml_new_tensor_2d(ctx.get(), static_cast<ggml_type>(part.type_id), part.ne0, rows);
}

}  // namespace

expert_repacker::expert_repacker(ggml_backend_device* dev) {
    if (!dev) return;
    if (filter_users++ == 0) {
        ggml_log_get(&forward_log, &forward_data);
        ggml_log_set(drop_debug, nullptr);
    }
    filtering_log_ = true;
    auto get_extra = reinterpret_cast<ggml_backend_dev_get_extra_bufts_t>(
        ggml_backend_reg_get_proc_address(ggml_backend_dev_backend_reg(dev), "ggml_backend_dev_get_extra_bufts"));
    if (!get_extra) return;
    for (ggml_backend_buffer_type_t* b = get_extra(dev); b && *b; ++b) {
        if (std::strcmp(ggml_backend_buft_name(*b), "CPU_REPACK") == 0) {
            buffer_ = ggml_backend_buft_alloc_buffer(*b, 64);
            break;
        }
    }
}

expert_repacker::~expert_repacker() {
    if (buffer_) ggml_backend_buffer_free(buffer_);
    if (filtering_log_ && --filter_users == 0) {
        // Put the previous callback back, unless someone installed another one meanwhile.
        ggml_log_callback now = nullptr;
        void* now_data = nullptr;
        ggml_log_get(&now, &now_data);
        if (now == drop_debug) ggml_log_set(forward_log, forward_data);
    }
}

void* expert_repacker::traits(const pack_part& part) {
    if (!buffer_) return nullptr;
    const auto key = std::make_tuple(part.type_id, part.ne0, part.ne1);
    auto it = traits_.find(key);
    if (it != traits_.end()) return it->second;
    ggml_context_ptr ctx;
    ggml_tensor* t = describe(ctx, part, part.ne1);
    ggml_backend_buffer_init_tensor(buffer_, t);  // sets the kernel traits, or null
    void* found = t->extra;
    traits_.emplace(key, found);
    return found;
}

bool expert_repacker::layer_repackable(const pack_layer& pl) {
    return traits(pl.gate) && traits(pl.up) && traits(pl.down);
}

void expert_repacker::mark(ggml_tensor* view, const pack_part& part) {
    view->buffer = buffer_;
    view->extra = traits(part);
}

bool expert_repacker::is_repacked(int32_t slot, const uint8_t* blob, int64_t key, bool lowbit) const {
    if (slot < 0 || static_cast<size_t>(slot) >= slots_.size()) return false;
    const slot_record& r = slots_[slot];
    if (r.key != key || r.lowbit != lowbit) return false;
    return !r.changed || std::memcmp(blob + r.window, r.bytes, sizeof r.bytes) == 0;
}

void expert_repacker::plan(job& j, int32_t slot, uint8_t* blob, const pack_layer& pl, int64_t key, bool lowbit) {
    if (static_cast<size_t>(slot) >= slots_.size()) slots_.resize(slot + 1);
    slots_[slot] = slot_record{};  // forgotten until the repacking is complete
    j.blobs.push_back({slot, key, lowbit});
    constexpr int64_t rows_per_piece = 64;
    for (const pack_part* part : {&pl.gate, &pl.up, &pl.down}) {
        for (int64_t r0 = 0; r0 < part->ne1; r0 += rows_per_piece) {
            job::piece p{part, blob, r0, std::min(part->ne1, r0 + rows_per_piece), j.blobs.size() - 1};
            j.pieces.push_back(p);
        }
    }
}

void expert_repacker::run(job& j, int ith, int nth) {
    for (size_t i = ith; i < j.pieces.size(); i += nth) {
        job::piece& p = j.pieces[i];
        uint8_t* data = p.blob_base + p.part->offset;
        const size_t row = ggml_row_size(static_cast<ggml_type>(p.part->type_id), p.part->ne0);
        const std::vector<uint8_t> plain = repack_rows(*p.part, data, p.r0, p.r1);
        const uint8_t* now = data + p.r0 * row;
        for (size_t w = 0; w + 16 <= plain.size(); w += 16) {
            if (std::memcmp(plain.data() + w, now + w, 16) != 0) {
                p.changed = true;
                p.window = p.part->offset + p.r0 * row + w;
                break;
            }
        }
    }
}

void expert_repacker::finish(const job& j) {
    std::vector<const job::piece*> first(j.blobs.size(), nullptr);
    std::vector<uint8_t*> base(j.blobs.size(), nullptr);
    for (const job::piece& p : j.pieces) {
        base[p.blob] = p.blob_base;
        if (p.changed && !first[p.blob]) first[p.blob] = &p;
    }
    for (size_t b = 0; b < j.blobs.size(); ++b) {
        slot_record& r = slots_[j.blobs[b].slot];
        r.key = j.blobs[b].key;
        r.lowbit = j.blobs[b].lowbit;
        r.changed = first[b] != nullptr;
        r.window = r.changed ? first[b]->window : 0;
        if (r.changed) std::memcpy(r.bytes, base[b] + r.window, sizeof r.bytes);
    }
}

void expert_repacker::repack_blob(int32_t slot, uint8_t* blob, const pack_layer& pl, int64_t key, bool lowbit) {
    job j;
    plan(j, slot, blob, pl, key, lowbit);
    run(j, 0, 1);
    finish(j);
}

std::vector<uint8_t> expert_repacker::repack_rows(const pack_part& part, uint8_t* data, int64_t r0, int64_t r1) {
    const size_t row = ggml_row_size(static_cast<ggml_type>(part.type_id), part.ne0);
    std::vector<uint8_t> plain(data + r0 * row, data + r1 * row);
    ggml_context_ptr ctx;
    ggml_tensor* t = describe(ctx, part, r1 - r0);
    t->buffer = buffer_;
    t->data = data + r0 * row;
    ggml_backend_buffer_init_tensor(buffer_, t);
    ggml_backend_tensor_set(t, plain.data(), 0, plain.size());
    return plain;
}
