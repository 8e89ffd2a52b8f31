// The pack reader: manifest.json, core.gguf and the checks that make a downloaded pack safe to use.
#include "engine/pack/gguf_keys.h"
#include "engine/pack/model.h"
#include "engine/pack/pack_layout.h"
#include "engine/pack/tensor_checks.h"
#include "platform/files.h"
#include "platform/virtual_memory.h"

#include <ggml.h>
#include <gguf.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr size_t max_manifest_bytes = 64u << 20;

std::string join(const std::string& folder, const std::string& name) {
    return (fs::path(folder) / fs::path(name)).string();
}

[[noreturn]] void bad_manifest(const std::string& what) { throw std::runtime_error("bad manifest: " + what); }

// File names in a manifest name files inside the pack folder and nothing else.
std::string plain_file_name(const json& value, const char* key) {
    const std::string name = value.get<std::string>();
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos ||
        name.find('\0') != std::string::npos)
        bad_manifest(std::string("\"") + key + "\" must be a plain file name");
    return name;
}

// Manifest numbers: integers, or floats truncated toward zero; anything out of range is refused.
// A value that is no number at all gets the JSON library's own type error.
double number_of(const json& v, const char* key) {
    if (v.is_number_unsigned() || v.is_number_integer() || v.is_number_float()) {
        if (v.is_number_unsigned()) return static_cast<double>(v.get<uint64_t>());
        if (v.is_number_integer()) return static_cast<double>(v.get<int64_t>());
        const double d = v.get<double>();
        if (!std::isfinite(d)) bad_manifest(std::string("number out of range: ") + key);
        return std::trunc(d);
    }
    (void)v.get<int64_t>();  // throws the library's type error
    bad_manifest(std::string("number out of range: ") + key);
}

uint64_t u64_of(const json& v, const char* key) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    const double d = number_of(v, key);
    if (d < 0 || d >= 18446744073709551616.0) bad_manifest(std::string("number out of range: ") + key);
    return static_cast<uint64_t>(d);
}

int64_t i64_of(const json& v, const char* key) {
    if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<int64_t>();
    const double d = number_of(v, key);
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        bad_manifest(std::string("number out of range: ") + key);
    return static_cast<int64_t>(d);
}

int32_t i32_of(const json& v, const char* key) {
    const int64_t n = i64_of(v, key);
    if (n < INT32_MIN || n > INT32_MAX) bad_manifest(std::string("number out of range: ") + key);
    return static_cast<int32_t>(n);
}

std::vector<pack_layer> parse_manifest_layers(const json& entries, const std::string& table, uint64_t& expert_bytes) {
    if (!entries.is_array()) bad_manifest(table + "\"layers\" must be an array");
    std::vector<pack_layer> layers;
    size_t i = 0;
    for (const json& entry : entries) {
        if (!entry.at("parts").is_array()) bad_manifest(table + "\"parts\" must be an array");
        pack_layer layer;
        layer.offset = u64_of(entry.at("offset"), "offset");
        layer.stride = u64_of(entry.at("stride"), "stride");
        bool seen[3] = {false, false, false};
        for (const json& p : entry.at("parts")) {
            const std::string kind = p.at("kind").get<std::string>();
            const int k = kind == "gate" ? 0 : kind == "up" ? 1 : 2;
            pack_part& part = k == 0 ? layer.gate : k == 1 ? layer.up : layer.down;
            part.type_id = i32_of(p.at("type_id"), "type_id");
            const json& ne = p.at("ne");
            if (!ne.is_array()) (void)ne.get<std::vector<int64_t>>();  // the library's type error
            if (ne.size() < 2) bad_manifest(table + "layer " + std::to_string(i) + ": \"ne\" needs two numbers");
            part.ne0 = i64_of(ne[0], "ne");
            part.ne1 = i64_of(ne[1], "ne");
            part.offset = u64_of(p.at("offset"), "offset");
            part.bytes = u64_of(p.at("bytes"), "bytes");
            seen[k] = true;
        }
        if (i32_of(entry.at("layer"), "layer") != static_cast<int64_t>(i)) throw std::runtime_error("layers out of order");
        static const char* kinds[3] = {"gate", "up", "down"};
        for (int k = 0; k < 3; ++k)
            if (!seen[k]) bad_manifest(table + "layer " + std::to_string(i) + " has no " + kinds[k] + " part");
        layers.push_back(layer);
        expert_bytes = std::max(expert_bytes, layer.stride);
        ++i;
    }
    return layers;
}

std::string read_manifest(const std::string& folder) {
    const std::string path = join(folder, "manifest.json");
    file_descriptor fd = open_read(path);
    if (!fd.valid()) throw std::runtime_error("no manifest.json in " + folder);
    const int64_t size = file_size(fd.get());
    if (size < 0 || static_cast<uint64_t>(size) > max_manifest_bytes)
        bad_manifest("manifest.json is larger than " + std::to_string(max_manifest_bytes >> 20) + " MB");
    std::string text(static_cast<size_t>(size), '\0');
    text.resize(read_at(fd.get(), 0, text.data(), text.size()));
    return text;
}

void read_hparams(model& m) {
    const gguf_context* g = m.gguf;
    const std::string a = m.arch;
    model_hparams& hp = m.hparams;
    hp.n_layer = required_int_key(g, a + ".block_count");
    hp.n_embd = required_int_key(g, a + ".embedding_length");
    hp.n_head = required_int_key(g, a + ".attention.head_count");
    hp.n_head_kv = required_int_key(g, a + ".attention.head_count_kv");
    hp.head_dim = required_int_key(g, a + ".attention.key_length");
    hp.n_expert = required_int_key(g, a + ".expert_count");
    hp.n_expert_used = required_int_key(g, a + ".expert_used_count");
    hp.n_ff_exp = required_int_key(g, a + ".expert_feed_forward_length");
    hp.n_ctx_train = required_int_key(g, a + ".context_length");
    const ggml_tensor* embd = m.embd_on_disk ? m.embd_on_disk : m.model_tensor("token_embd.weight");
    hp.n_vocab = embd->ne[1] > INT32_MAX ? -1 : static_cast<int32_t>(embd->ne[1]);
    hp.rms_eps = required_f32_key(g, a + ".attention.layer_norm_rms_epsilon");
    hp.rope_freq_base = required_f32_key(g, a + ".rope.freq_base");

    const std::string scaling = optional_str_key(g, a + ".rope.scaling.type", "none");
    const float factor = optional_f32_key(g, a + ".rope.scaling.factor", 0.0f);
    if (scaling != "none" && factor > 0.0f) hp.rope_freq_scale = 1.0f / factor;
    hp.n_ctx_orig = optional_int_key(g, a + ".rope.scaling.original_context_length", hp.n_ctx_train);
    hp.yarn_beta_fast = optional_f32_key(g, a + ".rope.scaling.yarn_beta_fast", 32.0f);
    hp.yarn_beta_slow = optional_f32_key(g, a + ".rope.scaling.yarn_beta_slow", 1.0f);
    if (scaling == "yarn") {
        hp.yarn_ext_factor = 1.0f;
        const float s = 1.0f / hp.rope_freq_scale;
        const float mult = optional_f32_key(g, a + ".rope.scaling.yarn_log_multiplier", 0.0f);
        auto mscale = [s](float k) { return s <= 1.0f ? 1.0f : std::log(s) * (k * 0.1f) + 1.0f; };
        const float l = mult != 0.0f ? mscale(1.0f) / mscale(mult) : mscale(1.0f);
        hp.yarn_attn_factor = (1.0f / (std::log(s) * 0.1f + 1.0f)) * l;
    }
    hp.sliding_window = optional_int_key(g, a + ".attention.sliding_window", 0);
    hp.sliding_window_pattern =
        optional_int_key(g, a + ".attention.sliding_window_pattern", hp.sliding_window != 0 ? 2 : 1);
    hp.expert_weights_scale = optional_f32_key(g, a + ".expert_weights_scale", 0.0f);
}

// Ranges the engine relies on; a pack is downloaded data, so nothing here is taken on trust.
void check_hparams(const model& m) {
    const model_hparams& hp = m.hparams;
    auto fail = [&](const std::string& what) {
        throw std::runtime_error("bad hyper-parameters in " + m.core_path + ": " + what);
    };
    const std::pair<const char*, int32_t> counts[] = {
        {"block_count", hp.n_layer},         {"embedding_length", hp.n_embd},
        {"attention.head_count", hp.n_head}, {"attention.head_count_kv", hp.n_head_kv},
        {"attention.key_length", hp.head_dim}, {"expert_count", hp.n_expert},
        {"expert_used_count", hp.n_expert_used}, {"expert_feed_forward_length", hp.n_ff_exp},
        {"context_length", hp.n_ctx_train},  {"vocabulary size", hp.n_vocab}};
    for (const auto& [name, value] : counts)
        if (value <= 0) fail(std::string(name) + " must be positive");
    if (hp.n_expert_used > hp.n_expert) fail("expert_used_count exceeds expert_count");
    if (hp.n_head % hp.n_head_kv != 0) fail("head_count is not a multiple of head_count_kv");
    if (hp.sliding_window < 0) fail("sliding_window is negative");
    if (hp.sliding_window_pattern < 1) fail("sliding_window_pattern must be at least 1");
    if (hp.n_ctx_orig <= 0) fail("rope.scaling.original_context_length must be positive");
    if (!std::isfinite(hp.rms_eps) || hp.rms_eps <= 0.0f) fail("attention.layer_norm_rms_epsilon must be positive");
    if (!std::isfinite(hp.rope_freq_base) || hp.rope_freq_base <= 0.0f) fail("rope.freq_base must be positive");
    const ggml_tensor* embd = m.embd_on_disk ? m.embd_on_disk : m.model_tensor("token_embd.weight");
    if (embd->ne[0] != hp.n_embd) fail("token_embd.weight rows are not embedding_length long");
    if (embd->type != GGML_TYPE_F32 && !ggml_get_type_traits(embd->type)->to_float)
        fail("token_embd.weight has a type without conversion to float");
}

// Every part must be a real ggml type whose size matches its shape, lie inside its blob, and have the shape the
// hyper-parameters give; every blob must be 4096-aligned and inside the file.
void check_expert_table(const std::vector<pack_layer>& layers, const model_hparams& hp, const std::string& path,
                        const std::string& table) {
    const int64_t file_bytes = file_size(path);
    if (file_bytes < 0) throw std::runtime_error("cannot open " + path);
    for (size_t i = 0; i < layers.size(); ++i) {
        const pack_layer& l = layers[i];
        const std::string where = table + "layer " + std::to_string(i);
        if (l.stride == 0 || l.offset % blob_align != 0 || l.stride % blob_align != 0)
            bad_manifest(where + ": offset and stride must be multiples of 4096");
        const struct {
            const char* kind;
            const pack_part& p;
            int64_t ne0, ne1;
        } parts[3] = {{"gate", l.gate, hp.n_embd, hp.n_ff_exp},
                      {"up", l.up, hp.n_embd, hp.n_ff_exp},
                      {"down", l.down, hp.n_ff_exp, hp.n_embd}};
        for (const auto& [kind, p, ne0, ne1] : parts) {
            const std::string what = where + " " + kind + " part";
            if (p.type_id < 0 || p.type_id >= GGML_TYPE_COUNT || ggml_blck_size(static_cast<ggml_type>(p.type_id)) == 0)
                bad_manifest(what + ": unknown type " + std::to_string(p.type_id));
            if (!cpu_weight_type(p.type_id))
                bad_manifest(what + ": type " + ggml_type_name(static_cast<ggml_type>(p.type_id)) +
                             " is not a weight type of the CPU backend");
            if (p.ne0 != ne0 || p.ne1 != ne1) bad_manifest(what + ": shape does not match the model");
            const auto type = static_cast<ggml_type>(p.type_id);
            if (p.ne0 % ggml_blck_size(type) != 0 || ggml_row_size(type, p.ne0) * static_cast<uint64_t>(p.ne1) != p.bytes)
                bad_manifest(what + ": bytes do not match its type and shape");
            if (p.offset > l.stride || p.bytes > l.stride - p.offset)
                bad_manifest(what + ": does not fit in the blob");
        }
        const uint64_t n = static_cast<uint64_t>(hp.n_expert);
        if (l.stride > static_cast<uint64_t>(file_bytes) / n ||
            l.offset > static_cast<uint64_t>(file_bytes) - l.stride * n)
            throw std::runtime_error(path + " is shorter than its layer table");
    }
}

void load_core(model& m) {
    gguf_init_params params{true, &m.ctx};
    m.gguf = gguf_init_from_file(m.core_path.c_str(), params);
    if (!m.gguf) throw std::runtime_error("cannot load " + m.core_path);
    const uint64_t data_offset = gguf_get_data_offset(m.gguf);
    const bool has_output = gguf_find_tensor(m.gguf, "output.weight") >= 0;
    m.core_file.open(m.core_path, std::ios::binary);
    const int64_t file_bytes = file_size(m.core_path);

    // The token embedding of a model with its own output matrix stays on disk (embed_tokens reads its rows), so it
    // gets no room here.
    auto stays_on_disk = [&](const char* name) { return has_output && std::strcmp(name, "token_embd.weight") == 0; };
    const int64_t n = gguf_get_n_tensors(m.gguf);
    uint64_t room = 64;
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t size = gguf_get_tensor_size(m.gguf, i);
        const uint64_t end = data_offset + gguf_get_tensor_offset(m.gguf, i) + size;
        // A tensor that reaches past the end of the file would be a short read; refuse it before allocating.
        if (file_bytes < 0 || end < size || end > static_cast<uint64_t>(file_bytes))
            throw std::runtime_error("short read in " + m.core_path);
        if (!stays_on_disk(gguf_get_tensor_name(m.gguf, i))) room += size + 64;
    }
    room = (room + 4095) / 4096 * 4096;
    // Fresh anonymous pages, zero without being written, on huge pages where the system has them: the core
    // tensors are read on every token, like the expert cache, which sits on huge pages too.
    m.core_memory = reserved_memory(room);
    if (!m.core_memory.valid() || !commit_memory(m.core_memory.data(), room))
        throw std::runtime_error("cannot allocate " + std::to_string(room >> 20) + " MB for the core tensors");
    advise_huge_pages(m.core_memory.data(), room);
    uint8_t* const core_data = m.core_memory.data();

    uint64_t pos = 0;
    for (int64_t i = 0; i < n; ++i) {
        const char* name = gguf_get_tensor_name(m.gguf, i);
        ggml_tensor* t = ggml_get_tensor(m.ctx, name);
        const uint64_t offset = data_offset + gguf_get_tensor_offset(m.gguf, i);
        if (stays_on_disk(name)) {
            m.embd_on_disk = t;
            m.embd_offset = offset;
            continue;
        }
        pos = (pos + 63) / 64 * 64;
        const uint64_t size = ggml_nbytes(t);
        m.core_file.clear();
        m.core_file.seekg(static_cast<std::streamoff>(offset));
        m.core_file.read(reinterpret_cast<char*>(core_data + pos), static_cast<std::streamsize>(size));
        if (!m.core_file || static_cast<uint64_t>(m.core_file.gcount()) != size)
            throw std::runtime_error("short read in " + m.core_path);
        t->data = core_data + pos;
        pos += size;
        m.core_bytes += size;
    }
}

}  // namespace

model open_pack(const std::string& folder) {
    model m;
    const json doc = json::parse(read_manifest(folder));
    const json& format = doc.at("format");
    if (!format.is_string() || (format != "mivra-pack-1" && format != "miva-pack-1"))
        throw std::runtime_error("unknown pack format");
    m.expert_layers = parse_manifest_layers(doc.at("layers"), "", m.expert_bytes);
    m.experts_path = join(folder, plain_file_name(doc.at("experts"), "experts"));
    if (doc.is_object() && doc.contains("lowbit")) {
        const json& lowbit = doc.at("lowbit");
        const std::string path = join(folder, plain_file_name(lowbit.at("experts"), "lowbit.experts"));
        if (fs::exists(fs::path(path))) {
            m.lowbit_layers = parse_manifest_layers(lowbit.at("layers"), "lowbit ", m.expert_bytes);
            m.lowbit_path = path;
        }
    }
    m.core_path = join(folder, plain_file_name(doc.at("core"), "core"));
    load_core(m);
    m.arch = required_str_key(m.gguf, "general.architecture");
    read_hparams(m);
    if (m.expert_layers.size() != static_cast<size_t>(m.hparams.n_layer))
        throw std::runtime_error("manifest layer count != block_count");
    check_hparams(m);
    check_runner_tensors(m);
    check_expert_table(m.expert_layers, m.hparams, m.experts_path, "");
    if (!m.lowbit_path.empty() && m.lowbit_layers.size() != m.expert_layers.size())
        throw std::runtime_error("manifest lowbit layer count != block_count");
    if (!m.lowbit_path.empty()) check_expert_table(m.lowbit_layers, m.hparams, m.lowbit_path, "lowbit ");
    return m;
}
