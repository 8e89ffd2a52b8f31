#include "engine/pack/cmd_pack.h"

#include "engine/pack/core_writer.h"
#include "engine/pack/pack_layout.h"
#include "engine/pack/pack_source.h"
#include "engine/pack/requantize.h"
#include "platform/files.h"

#include <ggml.h>
#include <gguf.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const pack_usage =
    "usage: %s model.gguf out_dir [--verify N] [--lowbit q2_K [--imatrix FILE] [--lowbit-only]]\n"
    "  --imatrix: importance matrix from `mivra imatrix`, weights the low-bit requantization\n"
    "  --lowbit-only: only rewrite experts.lo.bin of an existing pack in out_dir\n";

struct pack_options {
    std::string model_path;
    std::string out_dir;
    int verify = 64;
    int lowbit_type = -1;  // ggml type of experts.lo.bin; -1 = none
    std::string imatrix_path;
    bool lowbit_only = false;
};

// atoi without its undefined overflow: leading blanks, a sign, digits; no digits gives 0; clamped to int.
int atoi_clamped(const char* text) {
    errno = 0;
    long long v = std::strtoll(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

std::string pack_option_value(int& i, int argc, char** argv, const std::string& option) {
    if (++i >= argc) pack_fatal("missing value for ", option);
    return argv[i];
}

pack_options parse_pack_options(int argc, char** argv) {
    pack_options o;
    o.model_path = argv[1];
    o.out_dir = argv[2];
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verify") {
            o.verify = atoi_clamped(pack_option_value(i, argc, argv, arg).c_str());
        } else if (arg == "--imatrix") {
            o.imatrix_path = pack_option_value(i, argc, argv, arg);
        } else if (arg == "--lowbit-only") {
            o.lowbit_only = true;
        } else if (arg == "--lowbit") {
            const std::string name = pack_option_value(i, argc, argv, arg);
            o.lowbit_type = find_lowbit_type(name);
            if (o.lowbit_type < 0) pack_fatal("unknown --lowbit type ", name);
            if (!lowbit_type_quantizable(o.lowbit_type)) pack_fatal("ggml cannot quantize into --lowbit type ", name);
        } else {
            pack_fatal("unknown option ", arg);
        }
    }
    return o;
}

std::string out_file(const pack_options& o, const char* name) { return (fs::path(o.out_dir) / name).string(); }

// A folder that held a pack must stop being one before any of its files change, and the files that belong to
// the old weights (expert usage, saved prompt caches, an old low-bit copy) must go.
void clear_old_pack(const pack_options& o) {
    fs::remove(fs::path(o.out_dir) / "manifest.json");
    fs::remove(fs::path(o.out_dir) / "hot.bin");
    fs::remove_all(fs::path(o.out_dir) / "kv");
    if (o.lowbit_type < 0) fs::remove(fs::path(o.out_dir) / "experts.lo.bin");
}

void write_experts_bin(const pack_source& src, int source_fd, const std::string& path) {
    file_descriptor out = open_write_truncate(path);
    if (!out.valid()) throw pack_failure("write failed: experts.bin");
    std::vector<uint8_t> blob;
    for (const auto& [layer, plan] : src.plans) {
        for (int64_t e = 0; e < src.n_expert; ++e) {
            read_expert_blob(source_fd, src, plan, e, blob);
            if (!write_all(out.get(), blob.data(), blob.size())) throw pack_failure("write failed: experts.bin");
        }
        std::fprintf(stderr, "\rexperts: layer %d/%zu", layer + 1, src.plans.size());
    }
    std::fprintf(stderr, "\n");
    if (!sync_file(out.get()) || !out.close()) throw pack_failure("write failed: experts.bin");
}

// Compares `count` random blobs of experts.bin with the source (mt19937_64 seeded with 42: a layer, then an
// expert). False with the first differing layer and expert.
bool sample_experts_match(int source_fd, const pack_source& src, const std::string& experts_path, int count,
                          int32_t& bad_layer, int64_t& bad_expert) {
    file_descriptor experts = open_read(experts_path);
    std::mt19937_64 rng(42);
    std::vector<int32_t> layers;
    for (const auto& entry : src.plans) layers.push_back(entry.first);
    std::vector<uint8_t> expected, actual;
    for (int n = 0; n < count; ++n) {
        const pack_layer_plan& plan = src.plans.at(layers[rng() % layers.size()]);
        const int64_t e = static_cast<int64_t>(rng() % static_cast<uint64_t>(src.n_expert));
        read_expert_blob(source_fd, src, plan, e, expected);
        actual.resize(plan.stride);
        read_source_range(experts.get(), plan.offset + static_cast<uint64_t>(e) * plan.stride, actual.data(),
                          actual.size());
        if (expected != actual) {
            bad_layer = plan.layer;
            bad_expert = e;
            return false;
        }
    }
    return true;
}

manifest_fields manifest_of(const pack_options& o, const pack_source& src, uint64_t experts_bytes) {
    manifest_fields m;
    m.source = fs::path(o.model_path).filename().string();
    const int64_t arch_key = gguf_find_key(src.gguf, "general.architecture");
    m.arch = arch_key >= 0 && gguf_get_kv_type(src.gguf, arch_key) == GGUF_TYPE_STRING
                 ? std::string(gguf_get_val_str(src.gguf, arch_key)).substr(0, 127)
                 : "unknown";
    m.n_expert = src.n_expert;
    m.experts_bytes = experts_bytes;
    m.plans = &src.plans;
    return m;
}

void write_manifest(const pack_options& o, const manifest_fields& m) {
    if (!write_file_atomic(out_file(o, "manifest.json"), manifest_text(m)))
        throw pack_failure("write failed: manifest.json");
}

// --lowbit-only: experts.lo.bin of the pack in out_dir, made anew from its experts.bin, and a manifest that
// describes it. The pack must have been converted from this source, or the new copy would not match its experts.
void rewrite_lowbit_only(const pack_options& o, const pack_source& src, uint64_t experts_bytes,
                         const lowbit_write& lowbit, uint64_t lowbit_bytes) {
    const existing_pack old = check_existing_pack(o.out_dir, o.model_path, src.plans, experts_bytes);
    file_descriptor source = open_read(o.model_path);
    if (!source.valid()) throw pack_failure("cannot open " + o.model_path);
    int32_t bad_layer = 0;
    int64_t bad_expert = 0;
    if (!sample_experts_match(source.get(), src, lowbit.experts_path, o.verify, bad_layer, bad_expert))
        throw pack_failure("the pack in " + o.out_dir + " does not match " + o.model_path + ": expert " +
                           std::to_string(bad_expert) + " of layer " + std::to_string(bad_layer) + " differs");

    write_lowbit_experts(lowbit);
    manifest_fields m = manifest_of(o, src, experts_bytes);
    if (!old.source.empty()) m.source = old.source;
    if (!old.arch.empty()) m.arch = old.arch;
    m.lowbit_plans = lowbit.low;
    m.lowbit_bytes = lowbit_bytes;
    write_manifest(o, m);
    std::fprintf(stderr, "rewrote %s\n", lowbit.out_path.c_str());
}

void run_pack(const pack_options& o) {
    if (o.lowbit_only) {
        if (o.lowbit_type < 0) throw pack_failure("--lowbit-only needs --lowbit");
        if (!fs::exists(fs::path(o.out_dir) / "manifest.json"))
            throw pack_failure("--lowbit-only needs an existing pack in " + o.out_dir);
    }
    const char* lowbit_name = o.lowbit_type >= 0 ? ggml_type_name(static_cast<ggml_type>(o.lowbit_type)) : "";
    if (o.lowbit_type >= 0 && lowbit_type_needs_imatrix(o.lowbit_type) && o.imatrix_path.empty())
        throw pack_failure(std::string("--lowbit ") + lowbit_name +
                           " needs an importance matrix: --imatrix FILE (made by mivra imatrix)");
    pack_source src;
    scan_pack_source(o.model_path, src);
    uint64_t experts_bytes = 0, lowbit_bytes = 0;
    pack_plans lowbit_plans;
    try {
        experts_bytes = layout_expert_blobs(src.n_expert, src.plans);
        check_expert_layers(src);
        if (o.lowbit_type >= 0) {
            check_requantizable(src.plans);
            lowbit_plans = make_lowbit_plans(src.plans, o.lowbit_type);
            lowbit_bytes = layout_expert_blobs(src.n_expert, lowbit_plans);
        }
    } catch (const pack_failure&) {
        throw;
    } catch (const std::runtime_error& e) {
        throw pack_failure(e.what());
    }
    // The importance matrix is checked before any file is touched.
    importance_matrix imatrix;
    if (o.lowbit_type >= 0 && !o.imatrix_path.empty()) imatrix = read_imatrix(o.imatrix_path, src.n_expert, src.plans);
    lowbit_write lowbit;
    lowbit.experts_path = out_file(o, "experts.bin");
    lowbit.out_path = out_file(o, "experts.lo.bin");
    lowbit.full = &src.plans;
    lowbit.low = &lowbit_plans;
    lowbit.n_expert = src.n_expert;
    lowbit.type = o.lowbit_type;
    lowbit.imatrix = &imatrix;

    fs::create_directories(fs::path(o.out_dir));
    if (o.lowbit_only) return rewrite_lowbit_only(o, src, experts_bytes, lowbit, lowbit_bytes);
    file_descriptor source = open_read(o.model_path);
    if (!source.valid()) throw pack_failure("cannot open " + o.model_path);
    clear_old_pack(o);

    write_experts_bin(src, source.get(), out_file(o, "experts.bin"));
    if (o.lowbit_type >= 0) write_lowbit_experts(lowbit);
    const uint64_t core_bytes = write_core_gguf(src, source.get(), out_file(o, "core.gguf"));

    manifest_fields m = manifest_of(o, src, experts_bytes);
    if (o.lowbit_type >= 0) {
        m.lowbit_plans = &lowbit_plans;
        m.lowbit_bytes = lowbit_bytes;
    }
    write_manifest(o, m);

    int32_t bad_layer = 0;
    int64_t bad_expert = 0;
    if (o.verify > 0 &&
        !sample_experts_match(source.get(), src, out_file(o, "experts.bin"), o.verify, bad_layer, bad_expert))
        throw pack_failure("verify failed at layer " + std::to_string(bad_layer) + " expert " +
                           std::to_string(bad_expert));

    const pack_layer_plan& first = src.plans.begin()->second;
    auto type_name = [](int32_t t) { return ggml_type_name(static_cast<ggml_type>(t)); };
    std::fprintf(stderr, "packed %zu layers x %lld experts -> %s\n", src.plans.size(),
                 static_cast<long long>(src.n_expert), o.out_dir.c_str());
    std::fprintf(stderr, "  core tensors : %zu, %.2f GB\n", src.core.size(), static_cast<double>(core_bytes) / 1e9);
    std::fprintf(stderr, "  experts.bin  : %.2f GB, blob %.2f MB (layer %d: %s/%s/%s)\n",
                 static_cast<double>(experts_bytes) / 1e9, static_cast<double>(first.stride) / 1048576.0,
                 first.layer, type_name(first.gate.type), type_name(first.up.type), type_name(first.down.type));
    std::fprintf(stderr, "  verified %d random experts byte-for-byte\n", o.verify);
    if (o.lowbit_type >= 0)
        std::fprintf(stderr, "  experts.lo.bin: %.2f GB, blob %.2f MB (%s)\n", static_cast<double>(lowbit_bytes) / 1e9,
                     static_cast<double>(lowbit_plans.begin()->second.stride) / 1048576.0, lowbit_name);
}

}  // namespace

void pack_fatal(const std::string& message, const std::string& detail) {
    std::fflush(stdout);
    std::fprintf(stderr, "mivra-pack: %s%s\n", message.c_str(), detail.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

int cmd_pack(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, pack_usage, argc > 0 ? argv[0] : "mivra pack");
        return 1;
    }
    const pack_options options = parse_pack_options(argc, argv);
    try {
        run_pack(options);
    } catch (const pack_failure& e) {
        pack_fatal(e.what(), "");
    }
    return 0;
}
