#include "engine/pack/requantize.h"

#include "engine/pack/cmd_pack.h"
#include "engine/pack/pack_source.h"
#include "platform/files.h"

#include <ggml.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

namespace {

const plan_part& part_of(const pack_layer_plan& plan, int kind) {
    return kind == 0 ? plan.gate : kind == 1 ? plan.up : plan.down;
}

struct window {
    const pack_layer_plan* full = nullptr;
    const pack_layer_plan* low = nullptr;
    int64_t first = 0;
    int64_t count = 0;
    bool ends_layer = false;
};

std::vector<window> plan_windows(const lowbit_write& r) {
    std::vector<window> out;
    for (const auto& [layer, full] : *r.full) {
        const pack_layer_plan& low = r.low->at(layer);
        const uint64_t per_expert = full.stride + low.stride;
        const int64_t fit = static_cast<int64_t>(std::max<uint64_t>(1, r.window_bytes / per_expert));
        const int64_t step = std::min(fit, r.n_expert);
        for (int64_t first = 0; first < r.n_expert; first += step) {
            const int64_t count = std::min(step, r.n_expert - first);
            out.push_back({&full, &low, first, count, first + count == r.n_expert});
        }
    }
    return out;
}

void setup_job(requantize_job& job, const lowbit_write& r, const window& w, const uint8_t* source, uint8_t* dest,
               const float* uniform) {
    job.next.store(0);
    job.first_expert = w.first;
    job.layer = w.full->layer;
    job.type = r.type;
    job.full = w.full;
    job.low = w.low;
    job.source = source;
    job.dest = dest;
    job.imatrix = r.imatrix;
    job.uniform = uniform;
    job.units_per_expert = 0;
    for (int k = 0; k < 3; ++k) {
        const plan_part& p = part_of(*w.full, k);
        job.band_rows[k] = std::max<int64_t>(1, r.band_floats / std::max<int64_t>(1, p.ne0));
        job.units[k] = (p.ne1 + job.band_rows[k] - 1) / job.band_rows[k];
        job.units_per_expert += job.units[k];
    }
    job.n_units = w.count * job.units_per_expert;
}

// Joins the workers of a window on every way out, so that an error of the main thread never leaves a running
// thread behind (which would end the process from std::thread's destructor).
struct worker_group {
    std::vector<std::thread> threads;
    void start(int n, requantize_job& job) {
        for (int i = 0; i < n; ++i) threads.emplace_back([&job] { requantize_worker(job); });
    }
    void join() {
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
    ~worker_group() { join(); }
};

}  // namespace

bool lowbit_type_quantizable(int type) {
    // The types of ggml_quantize_chunk in the pinned ggml build; q8_1, q8_K (dot-product helpers) and the integer
    // and f64 types have no quantiser there.
    switch (static_cast<ggml_type>(type)) {
        case GGML_TYPE_F32: case GGML_TYPE_F16: case GGML_TYPE_BF16:
        case GGML_TYPE_Q4_0: case GGML_TYPE_Q4_1: case GGML_TYPE_Q5_0: case GGML_TYPE_Q5_1: case GGML_TYPE_Q8_0:
        case GGML_TYPE_Q2_K: case GGML_TYPE_Q3_K: case GGML_TYPE_Q4_K: case GGML_TYPE_Q5_K: case GGML_TYPE_Q6_K:
        case GGML_TYPE_IQ2_XXS: case GGML_TYPE_IQ2_XS: case GGML_TYPE_IQ2_S: case GGML_TYPE_IQ3_XXS:
        case GGML_TYPE_IQ3_S: case GGML_TYPE_IQ1_S: case GGML_TYPE_IQ1_M: case GGML_TYPE_IQ4_NL:
        case GGML_TYPE_IQ4_XS: case GGML_TYPE_TQ1_0: case GGML_TYPE_TQ2_0: case GGML_TYPE_MXFP4:
        case GGML_TYPE_NVFP4: case GGML_TYPE_Q1_0: case GGML_TYPE_Q2_0:
            return ggml_blck_size(static_cast<ggml_type>(type)) > 0;
        default:
            return false;
    }
}

bool lowbit_type_needs_imatrix(int type) { return ggml_quantize_requires_imatrix(static_cast<ggml_type>(type)); }

void check_requantizable(const pack_plans& full) {
    for (const auto& [layer, plan] : full)
        for (int k = 0; k < 3; ++k) {
            const auto type = static_cast<ggml_type>(part_of(plan, k).type);
            if (type != GGML_TYPE_F32 && !ggml_get_type_traits(type)->to_float)
                throw pack_failure(std::string("cannot requantize expert type ") + ggml_type_name(type));
        }
}

void requantize_worker(requantize_job& job) {
    const auto type = static_cast<ggml_type>(job.type);
    const bool needs_weights = ggml_quantize_requires_imatrix(type);
    std::vector<float> floats;
    try {
        for (;;) {
            const int64_t u = job.next.fetch_add(1);
            if (u >= job.n_units) return;
            const int64_t e = u / job.units_per_expert;
            int64_t sub = u % job.units_per_expert;
            int kind = 0;
            while (sub >= job.units[kind]) sub -= job.units[kind++];
            const plan_part& fp = part_of(*job.full, kind);
            const plan_part& lp = part_of(*job.low, kind);
            const int64_t r0 = sub * job.band_rows[kind];
            const int64_t rows = std::min(job.band_rows[kind], fp.ne1 - r0);
            const int64_t n = rows * fp.ne0;

            const auto src_type = static_cast<ggml_type>(fp.type);
            const uint8_t* src = job.source + static_cast<uint64_t>(e) * job.full->stride + fp.offset +
                                 static_cast<uint64_t>(r0) * ggml_row_size(src_type, fp.ne0);
            floats.resize(static_cast<size_t>(n));
            const ggml_to_float_t to_float = ggml_get_type_traits(src_type)->to_float;
            if (to_float)
                to_float(src, floats.data(), n);
            else
                std::memcpy(floats.data(), src, static_cast<size_t>(n) * sizeof(float));

            const float* weights = job.imatrix ? job.imatrix->slice(job.layer, job.first_expert + e, kind == 2) : nullptr;
            if (!weights && needs_weights) weights = job.uniform;

            const size_t row_size = ggml_row_size(type, lp.ne0);
            uint8_t* dst = job.dest + static_cast<uint64_t>(e) * job.low->stride + lp.offset +
                           static_cast<uint64_t>(r0) * row_size;
            const size_t written = ggml_quantize_chunk(type, floats.data(), dst, 0, rows, lp.ne0, weights);
            if (written != static_cast<size_t>(rows) * row_size) pack_fatal("unexpected quantized size", "");
        }
    } catch (const std::exception& e) {
        pack_fatal(e.what(), "");
    }
}

void write_lowbit_experts(const lowbit_write& r) {
    const std::vector<window> windows = plan_windows(r);
    const int threads = r.threads > 0 ? r.threads : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    ggml_quantize_init(static_cast<ggml_type>(r.type));  // its tables once, before the workers race for them

    int64_t longest_row = 1;
    uint64_t source_bytes = 0, dest_bytes = 0;
    for (const window& w : windows) {
        source_bytes = std::max<uint64_t>(source_bytes, w.count * w.full->stride);
        dest_bytes = std::max<uint64_t>(dest_bytes, w.count * w.low->stride);
        for (int k = 0; k < 3; ++k) longest_row = std::max(longest_row, part_of(*w.full, k).ne0);
    }
    const std::vector<float> uniform(static_cast<size_t>(longest_row), 1.0f);
    std::vector<uint8_t> source[2] = {std::vector<uint8_t>(source_bytes), std::vector<uint8_t>(source_bytes)};
    std::vector<uint8_t> dest(dest_bytes);

    const file_descriptor in = open_read(r.experts_path);
    // experts.lo.bin is replaced only once it is whole, so a failed run leaves the previous copy in place.
    const std::string tmp = r.out_path + ".tmp";
    struct remove_unless_kept {
        const std::string& path;
        bool keep = false;
        ~remove_unless_kept() {
            if (!keep) std::remove(path.c_str());
        }
    } tmp_guard{tmp};
    file_descriptor out = open_write_truncate(tmp);
    const pack_failure write_failed("write failed: experts.lo.bin");
    if (!out.valid()) throw write_failed;
    auto read_window = [&](const window& w, std::vector<uint8_t>& buffer) {
        read_source_range(in.get(), w.full->offset + static_cast<uint64_t>(w.first) * w.full->stride,
                          buffer.data(), static_cast<size_t>(w.count * w.full->stride));
    };

    if (!windows.empty()) read_window(windows[0], source[0]);
    requantize_job job;
    for (size_t i = 0; i < windows.size(); ++i) {
        const window& w = windows[i];
        const size_t used = static_cast<size_t>(w.count * w.low->stride);
        std::fill(dest.begin(), dest.begin() + static_cast<ptrdiff_t>(used), 0);
        setup_job(job, r, w, source[i % 2].data(), dest.data(), uniform.data());
        {
            worker_group workers;
            workers.start(static_cast<int>(std::min<int64_t>(threads, job.n_units)), job);
            if (i + 1 < windows.size()) read_window(windows[i + 1], source[(i + 1) % 2]);
        }
        if (!write_all(out.get(), dest.data(), used)) throw write_failed;
        if (w.ends_layer) std::fprintf(stderr, "\rlow-bit experts: layer %d/%zu", w.full->layer + 1, r.full->size());
    }
    std::fprintf(stderr, "\n");
    if (!sync_file(out.get()) || !out.close()) throw write_failed;
    if (std::rename(tmp.c_str(), r.out_path.c_str()) != 0) throw write_failed;
    tmp_guard.keep = true;
}
