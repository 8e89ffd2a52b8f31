// `mivra golden` as a child process against references written by libllama (the mivra-llama-ref tool): every test
// model replays identically, a changed reference token is reported at its step with exit code 2, and the record
// limits, labels, summaries and errors.
#include "cli/run_child.h"
#include "engine/pack/pack_test_util.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr int n_predict = 8;

const char* const prompts_jsonl =
    "{\"text\": \"Mixture-of-experts models route every token to a few experts.\"}\n"
    "{\"prompt\": 7, \"chat\": \"Why is the sky blue?\"}\n"
    "\n"
    "{\"tokens\": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12]}\n";

// Packs the model and writes golden.jsonl for it with libllama; with a logits file when asked.
struct golden_pack {
    std::string model, pack, golden, logits;
};

golden_pack make_golden_pack(const temp_folder& tmp, const std::string& name, const fixture_model_options& o,
                             bool with_logits = false) {
    golden_pack g;
    g.model = make_model(tmp / (name + ".gguf"), o);
    g.pack = tmp / (name + "-pack");
    const child_result p = run_mivra({"pack", g.model, g.pack, "--verify", "0"});
    EXPECT_EQ(p.exit_code, 0) << p.err;
    write_bytes(tmp / "prompts.jsonl", prompts_jsonl);
    std::vector<std::string> args = {program_path("mivra-llama-ref"), "--model", g.model, "--prompts",
                                     tmp / "prompts.jsonl", "-n", std::to_string(n_predict)};
    if (with_logits) {
        g.logits = tmp / (name + ".logits");
        args.insert(args.end(), {"--logits-out", g.logits});
    }
    const child_result r = run_child(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    g.golden = tmp / (name + "-golden.jsonl");
    write_bytes(g.golden, r.out);
    return g;
}

std::vector<json> records_of(const std::string& jsonl) {
    std::vector<json> out;
    std::istringstream in(jsonl);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(json::parse(line));
    return out;
}

std::string jsonl_of(const std::vector<json>& records) {
    std::string out;
    for (const json& r : records) out += r.dump() + "\n";
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// The mean negative log-likelihood of the reference tokens under libllama's own logits (the logits file holds,
// per prompt, rows for the prompt and then gen[0 .. n-2]).
double reference_mean_nll(const golden_pack& g, const std::vector<json>& records) {
    const std::string dump = read_bytes(g.logits);
    size_t at = 0;
    double sum = 0;
    int steps = 0;
    for (const json& r : records) {
        int32_t head[2];
        std::memcpy(head, dump.data() + at, 8);
        at += 8;
        const auto* logits = reinterpret_cast<const float*>(dump.data() + at);
        at += size_t(head[0]) * head[1] * 4;
        const size_t prompt = r["prompt_tokens"].size();
        const std::vector<int32_t> gen = r["gen"];
        for (size_t i = 0; i < gen.size(); ++i) {
            const float* row = logits + (prompt - 1 + i) * size_t(head[1]);
            double z = 0;
            for (int32_t v = 0; v < head[1]; ++v) z += std::exp(double(row[v]));
            sum += std::log(z) - row[gen[i]];
            ++steps;
        }
    }
    return sum / steps;
}

// `mivra golden` on one compute thread: the tiny test models gain nothing from more, and a busy machine loses a lot.
child_result run_golden(std::vector<std::string> args) {
    args.insert(args.begin(), "golden");
    args.insert(args.end(), {"-t", "1"});
    return run_mivra(args);
}

fixture_model_options model_of(const std::string& arch) {
    fixture_model_options o;
    o.arch = arch;
    return o;
}

}  // namespace

TEST(Golden, EveryTestModelReplaysTheLibllamaReference) {
    fixture_model_options mixed;
    mixed.n_layer = 3;
    mixed.n_embd = 256;
    mixed.n_ff_exp = 256;
    mixed.head_dim = 64;
    mixed.layer_expert_type = {{0, "q8_0"}, {1, "q4_K,q4_K,q8_0"}, {2, "f16,q8_0,q4_K"}};
    mixed.tie_output = true;
    struct model_case {
        const char* name;
        fixture_model_options options;
    };
    for (const model_case& c : {model_case{"qwen3moe", model_of("qwen3moe")}, model_case{"gpt-oss", model_of("gpt-oss")},
                                model_case{"mixed", mixed}}) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        const golden_pack g = make_golden_pack(tmp, c.name, c.options, true);
        const std::vector<json> records = records_of(read_bytes(g.golden));
        ASSERT_EQ(records.size(), 3u);

        const child_result r = run_golden({g.pack, g.golden});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 6u) << r.out;
        const int labels[3] = {0, 7, 2};
        for (int i = 0; i < 3; ++i) {
            char want[128];
            std::snprintf(want, sizeof want, "prompt %2d: %3zu prompt tokens, greedy match %d/%d, max |logit diff| on reference top-5 ",
                          labels[i], records[i]["prompt_tokens"].size(), n_predict, n_predict);
            EXPECT_TRUE(lines[i].starts_with(want)) << lines[i];
        }
        EXPECT_EQ(lines[3], "");
        EXPECT_TRUE(lines[4].starts_with("3/3 prompts identical, 24/24 steps match, worst logit diff ")) << lines[4];
        double nll = 0, perplexity = 0;
        ASSERT_EQ(std::sscanf(lines[5].c_str(), "mean NLL of reference tokens %lf (perplexity %lf)", &nll, &perplexity), 2)
            << lines[5];
        EXPECT_NEAR(nll, reference_mean_nll(g, records), 2e-3);
        EXPECT_NEAR(perplexity, std::exp(nll), 1e-3 * perplexity);
        EXPECT_TRUE(r.err.starts_with("core ")) << r.err;  // no line of ggml's backend loader before ours
        EXPECT_EQ(r.err.find("load_backend"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" GB resident, expert cache "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\n  cache: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\n  time: attention+routing "), std::string::npos) << r.err;
    }
}

TEST(Golden, ChangedReferenceTokenIsTheFirstMiss) {
    temp_folder tmp;
    const golden_pack g = make_golden_pack(tmp, "model", model_of("qwen3moe"));
    std::vector<json> records = records_of(read_bytes(g.golden));
    ASSERT_EQ(records.size(), 3u);
    // Step 3 of the second record now names a token the model does not choose; the later steps keep being fed
    // the reference, so they may match again.
    records[1]["gen"][3] = (records[1]["gen"][3].get<int>() + 1) % 1000;
    write_bytes(tmp / "changed.jsonl", jsonl_of(records));

    const child_result r = run_golden({g.pack, tmp / "changed.jsonl"});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_NE(lines[0].find("greedy match 8/8, max"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" (first miss at step 3), max |logit diff|"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("greedy match 8/8, max"), std::string::npos) << lines[2];
    EXPECT_TRUE(lines[4].starts_with("2/3 prompts identical, ")) << lines[4];
}

TEST(Golden, RecordLimitsLabelsAndEmptyInputs) {
    temp_folder tmp;
    const golden_pack g = make_golden_pack(tmp, "model", model_of("qwen3moe"));
    const std::vector<json> records = records_of(read_bytes(g.golden));
    json empty_gen = records[0];
    empty_gen["gen"] = json::array();
    empty_gen["top"] = json::array();
    empty_gen["prompt"] = true;
    json float_label = records[2];
    float_label["prompt"] = 12.9;

    struct limit_case {
        std::string what;
        std::string input;
        std::vector<std::string> options;
        std::vector<std::string> lines;  // stdout, line by line; "..." as a line's end matches anything
        int exit_code;
    };
    const std::string crlf = records[0].dump() + "\r\n\r\n" + records[1].dump() + "\r\n";
    const std::vector<limit_case> cases = {
        {"empty file", "", {},
         {"", "0/0 prompts identical, 0/0 steps match, worst logit diff 0, decode 0.00 tok/s",
          "mean NLL of reference tokens 0.0000 (perplexity 1.0000)"},
         0},
        {"--prompts 2 of five records", "\n" + jsonl_of(records) + jsonl_of(records), {"--prompts", "2"},
         {"prompt  0: ...", "prompt  7: ...", "", "2/2 prompts identical, 16/16 steps match, ...", "mean NLL ..."},
         0},
        {"empty continuation and converted labels", jsonl_of({empty_gen, float_label}), {},
         {"prompt  1:  " + std::to_string(records[0]["prompt_tokens"].size()) +
              " prompt tokens, greedy match 0/0, max |logit diff| on reference top-5 0",
          "prompt 12: ...", "", "2/2 prompts identical, 8/8 steps match, ...", "mean NLL ..."},
         0},
        {"CR LF lines", crlf, {}, {"prompt  0: ...", "prompt  7: ...", "", "2/2 prompts identical, ...", "mean NLL ..."}, 0},
    };
    for (const limit_case& c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(tmp / "input.jsonl", c.input);
        std::vector<std::string> args = {g.pack, tmp / "input.jsonl"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const child_result r = run_golden(args);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), c.lines.size()) << r.out;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (c.lines[i].ends_with("..."))
                EXPECT_TRUE(lines[i].starts_with(c.lines[i].substr(0, c.lines[i].size() - 3))) << lines[i];
            else
                EXPECT_EQ(lines[i], c.lines[i]);
        }
    }
}

TEST(Golden, BrokenRecordsAreErrors) {
    temp_folder tmp;
    const golden_pack g = make_golden_pack(tmp, "model", model_of("qwen3moe"));
    const json good = records_of(read_bytes(g.golden))[0];
    auto edited = [&](const std::function<void(json&)>& edit) {
        json r = good;
        edit(r);
        return r.dump() + "\n";
    };
    struct broken {
        std::string what;
        std::string input;
        std::string error;  // the start of the last stderr line
    };
    const std::vector<broken> cases = {
        {"not JSON", "{\"prompt\": 0,\n", "error: [json.exception.parse_error"},
        {"no prompt tokens", edited([](json& r) { r.erase("prompt_tokens"); }), "error: [json.exception.out_of_range"},
        {"no label", edited([](json& r) { r.erase("prompt"); }), "error: [json.exception.out_of_range"},
        {"text label", edited([](json& r) { r["prompt"] = "first"; }), "error: [json.exception.type_error"},
        {"gen of the wrong type", edited([](json& r) { r["gen"] = "1 2 3"; }), "error: [json.exception.type_error"},
        {"too few top entries", edited([](json& r) { r["top"].erase(r["top"].size() - 1); }),
         "error: golden record has fewer \"top\" entries than \"gen\" tokens"},
        {"token past the vocabulary", edited([](json& r) { r["gen"][2] = 151936; }),
         "error: golden record token id out of range"},
        {"pair without a logit", edited([](json& r) { r["top"][1][0] = json::array({5}); }),
         "error: golden record has a \"top\" pair without a token id and a logit"},
        {"empty prompt", edited([](json& r) { r["prompt_tokens"] = json::array(); }), "error: eval: no tokens"},
    };
    for (const broken& c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(tmp / "input.jsonl", good.dump() + "\n" + c.input);
        const child_result r = run_golden({g.pack, tmp / "input.jsonl"});
        EXPECT_EQ(r.exit_code, 1);
        // The record before the broken one stays printed; no summary follows.
        EXPECT_TRUE(r.out.starts_with("prompt  0: ")) << r.out;
        EXPECT_EQ(r.out.find("prompts identical"), std::string::npos) << r.out;
        const size_t last = r.err.rfind('\n', r.err.size() - 2);
        EXPECT_TRUE(r.err.substr(last + 1).starts_with(c.error)) << r.err;
    }
    const child_result missing = run_golden({g.pack, tmp / "none.jsonl"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_TRUE(missing.err.ends_with("error: cannot open " + (tmp / "none.jsonl") + "\n")) << missing.err;
}

TEST(Golden, LowbitCopiesAreUsedOnlyWhenAskedFor) {
    temp_folder tmp;
    const golden_pack g = make_golden_pack(tmp, "model", model_of("qwen3moe"));
    const std::string lowbit_pack = tmp / "lowbit-pack";
    ASSERT_EQ(run_mivra({"pack", g.model, lowbit_pack, "--lowbit", "q8_0", "--verify", "0"}).exit_code, 0);
    auto worst_diff = [](const std::string& out) {
        const size_t at = out.find("worst logit diff ");
        return at == std::string::npos ? -1.0 : std::stod(out.substr(at + 17));
    };
    // Exact mode reads only the full experts of a pack that has low-bit copies too.
    const child_result exact = run_golden({lowbit_pack, g.golden});
    EXPECT_EQ(exact.exit_code, 0) << exact.err;
    EXPECT_EQ(exact.err.find("  lowbit: "), std::string::npos) << exact.err;
    EXPECT_LT(worst_diff(exact.out), 1e-3) << exact.out;
    // With --lowbit every expert comes from experts.lo.bin, and the logits move away from the reference.
    const child_result lowbit = run_golden({lowbit_pack, g.golden, "--lowbit"});
    EXPECT_NE(lowbit.err.find("  lowbit: "), std::string::npos) << lowbit.err;
    EXPECT_GT(worst_diff(lowbit.out), 1e-3) << lowbit.out;
}

// golden checks the exact computation: experts of the types that ggml has interleaved kernels for run as stored, so
// against libllama references made without repacking every logit agrees to the bit.
TEST(Golden, RepackableExpertTypesMatchTheReferenceExactly) {
    fixture_model_options q4_0 = model_of("qwen3moe");
    q4_0.expert_type = "q4_0";
    fixture_model_options q4_k = model_of("qwen3moe");
    q4_k.n_embd = 256;
    q4_k.n_ff_exp = 256;
    q4_k.head_dim = 64;
    q4_k.expert_type = "q4_K";
    const fixture_model_options mxfp4 = model_of("gpt-oss");  // mxfp4 experts
    struct model_case {
        const char* name;
        fixture_model_options options;
    };
    for (const model_case& c : {model_case{"q4_0", q4_0}, model_case{"q4_K", q4_k}, model_case{"mxfp4", mxfp4}}) {
        SCOPED_TRACE(c.name);
        temp_folder tmp;
        const golden_pack g = make_golden_pack(tmp, c.name, c.options);
        const child_result r = run_golden({g.pack, g.golden});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 6u) << r.out;
        EXPECT_TRUE(lines[4].starts_with("3/3 prompts identical, 24/24 steps match, worst logit diff 0, ")) << lines[4];
    }
}
