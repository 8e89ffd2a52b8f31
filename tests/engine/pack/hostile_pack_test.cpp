// Hostile packs against the real program: core.gguf and manifest.json edited the way an attacker on the Hub could,
// each of which used to crash `mivra run` (an abort inside ggml, a null function pointer, a read past a buffer, a
// template that overflows the stack or eats all memory). Each must end in a clear error and exit code 1, and
// under the address sanitizer without a report.
#include "cli/run_child.h"
#include "engine/pack/pack_test_util.h"
#include "fixtures/fixture_cache.h"
#include "fixtures/fixture_defects.h"

#include <gguf.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

gguf_tensor_record& tensor(std::vector<gguf_tensor_record>& tensors, const std::string& name) {
    for (gguf_tensor_record& t : tensors)
        if (t.name == name) return t;
    throw std::runtime_error("fixture lacks " + name);
}

// The tensor with another type and shape, its bytes zero.
void retype(gguf_tensor_record& t, ggml_type type, std::vector<int64_t> ne) {
    t.type = type;
    for (int i = 0; i < 4; ++i) t.ne[i] = i < int(ne.size()) ? ne[size_t(i)] : 1;
    t.data.assign(ggml_row_size(type, t.ne[0]) * size_t(t.ne[1] * t.ne[2] * t.ne[3]), 0);
}

struct hostile_case {
    std::string what;
    std::string base;  // "qwen" or "gpt"
    std::function<void(std::vector<gguf_tensor_record>&)> tensors;
    std::function<void(gguf_context*)> keys;
    std::function<void(json&)> manifest;
    std::string error;  // after "error: "; "CORE" stands for the case's core.gguf; a trailing '*' matches any end
};

class HostilePack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared = new temp_folder;
        qwen = pack_model(*shared, "qwen", {});
        fixture_model_options g;
        g.arch = "gpt-oss";
        gpt = pack_model(*shared, "gpt", g);
    }
    static void TearDownTestSuite() {
        delete shared;
        shared = nullptr;
    }

    std::string make(const hostile_case& c) {
        const std::string base = c.base == "gpt" ? gpt : qwen;
        const std::string dir = tmp / ("case" + std::to_string(++cases));
        fs::create_directories(dir);
        fs::create_symlink(base + "/experts.bin", dir + "/experts.bin");
        json doc = json::parse(read_bytes(base + "/manifest.json"));
        if (c.manifest) c.manifest(doc);
        write_bytes(dir + "/manifest.json", doc.dump(2));
        rewrite_gguf(
            base + "/core.gguf", dir + "/core.gguf",
            [&](std::vector<gguf_tensor_record>& t) {
                if (c.tensors) c.tensors(t);
            },
            [&](gguf_context* g) {
                if (c.keys) c.keys(g);
            });
        return dir;
    }

    static inline temp_folder* shared = nullptr;
    static inline std::string qwen, gpt;
    temp_folder tmp;
    int cases = 0;
};

void set_template(gguf_context* g, const char* text) { gguf_set_val_str(g, "tokenizer.chat_template", text); }

}  // namespace

TEST_F(HostilePack, RunEndsWithAClearErrorAndNoSanitizerReport) {
    const int V = fixture_tokens::n_vocab;
    const std::string probe = "the chat template of CORE failed its test render: *";
    const std::vector<hostile_case> cases = {
        {"expert part of a type without a CPU product", "qwen", {}, {},
         [](json& d) { d["layers"][0]["parts"][0]["type_id"] = 26; },
         "bad manifest: layer 0 gate part: type i32 is not a weight type of the CPU backend"},
        {"query rows for fewer heads", "qwen",
         [](auto& t) { retype(tensor(t, "blk.0.attn_q.weight"), GGML_TYPE_F16, {64, 32}); }, {}, {},
         "bad tensor blk.0.attn_q.weight in CORE: shape [64, 32] where the model needs [64, 64]"},
        {"more heads than the weights have", "qwen", {},
         [](gguf_context* g) { gguf_set_val_u32(g, "qwen3moe.attention.head_count", 8); }, {},
         "bad tensor blk.0.attn_q.weight in CORE: shape [64, 64] where the model needs [64, 128]"},
        {"shorter keys than the weights have", "qwen", {},
         [](gguf_context* g) { gguf_set_val_u32(g, "qwen3moe.attention.key_length", 8); }, {},
         "bad tensor blk.0.attn_q.weight in CORE: shape [64, 64] where the model needs [64, 32]"},
        {"router turned around", "qwen",
         [](auto& t) { retype(tensor(t, "blk.1.ffn_gate_inp.weight"), GGML_TYPE_F32, {8, 64}); }, {}, {},
         "bad tensor blk.1.ffn_gate_inp.weight in CORE: shape [8, 64] where the model needs [64, 8]"},
        {"norm weight in f16", "qwen",
         [](auto& t) { retype(tensor(t, "blk.0.attn_norm.weight"), GGML_TYPE_F16, {64}); }, {}, {},
         "bad tensor blk.0.attn_norm.weight in CORE: type f16 where f32 is needed"},
        {"attention matrix of an integer type", "qwen",
         [](auto& t) { retype(tensor(t, "blk.1.attn_k.weight"), GGML_TYPE_I32, {64, 32}); }, {}, {},
         "bad tensor blk.1.attn_k.weight in CORE: type i32 is not a weight type of the CPU backend"},
        {"output with fewer rows than the vocabulary", "qwen",
         [V](auto& t) { retype(tensor(t, "output.weight"), GGML_TYPE_Q8_0, {64, V - 64}); }, {}, {},
         "bad tensor output.weight in CORE: shape [64, " + std::to_string(V - 64) + "] where the model needs [64, " +
             std::to_string(V) + "]"},
        {"embedding and output shorter than the vocabulary", "qwen",
         [V](auto& t) {
             retype(tensor(t, "output.weight"), GGML_TYPE_Q8_0, {64, V - 64});
             retype(tensor(t, "token_embd.weight"), GGML_TYPE_Q8_0, {64, V - 64});
         },
         {}, {},
         "bad tensor token_embd.weight in CORE: " + std::to_string(V - 64) + " rows for a vocabulary of " +
             std::to_string(V) + " tokens"},
        {"expert bias of another width", "gpt",
         [](auto& t) { retype(tensor(t, "blk.0.ffn_down_exps.bias"), GGML_TYPE_F32, {64, 4}); }, {}, {},
         "bad tensor blk.0.ffn_down_exps.bias in CORE: shape [64, 4] where the model needs [64, 8]"},
        {"NaN norm epsilon", "qwen", {},
         [](gguf_context* g) { gguf_set_val_f32(g, "qwen3moe.attention.layer_norm_rms_epsilon", NAN); }, {},
         "bad hyper-parameters in CORE: attention.layer_norm_rms_epsilon must be positive"},
        {"negative norm epsilon", "gpt", {},
         [](gguf_context* g) { gguf_set_val_f32(g, "gpt-oss.attention.layer_norm_rms_epsilon", -1e-5f); }, {},
         "bad hyper-parameters in CORE: attention.layer_norm_rms_epsilon must be positive"},
        {"recursive macro", "qwen", {},
         [](gguf_context* g) { set_template(g, "{% macro f(x) %}{{ f(x) }}{% endmacro %}{{ f(1) }}"); }, {}, probe},
        {"hundred million loop", "qwen", {},
         [](gguf_context* g) { set_template(g, "{% for i in range(100000000) %}{{ i }}{% endfor %}"); }, {}, probe},
        {"gigabyte string", "qwen", {}, [](gguf_context* g) { set_template(g, "{{ 'x' * 1000000000 }}"); }, {},
         probe},
    };
    for (const hostile_case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = make(c);
        const child_result r = run_mivra({"run", dir, "-p", "hi", "-n", "2", "-c", "256"});
        std::string want = c.error;
        if (const size_t at = want.find("CORE"); at != std::string::npos) want.replace(at, 4, dir + "/core.gguf");
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
        const std::string line = "error: " + want;
        if (want.back() == '*') {
            EXPECT_NE(r.err.find(line.substr(0, line.size() - 1)), std::string::npos) << r.err;
        } else {
            EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << r.err;
        }
    }
}
