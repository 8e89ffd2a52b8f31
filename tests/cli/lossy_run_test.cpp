// `mivra run` on a pack with low-bit expert copies: exact mode never touches them and prints what a pack without
// them prints; fast mode reads them and says so in the statistics; low-bit copies that equal the originals (f16
// of f16 experts) leave the greedy text unchanged, so low-bit use is the only source of difference.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/run_child.h"
#include "fixtures/model_gen.h"
#include "fixtures/temp_folder.h"

namespace {

child_result mivra(std::vector<std::string> args) {
    args.insert(args.begin(), program_path("mivra"));
    return run_child(args);
}

// A run from a cold cache: hot.bin of an earlier run would fill every slot in full precision at start.
child_result run_pack(const std::string& pack, const std::vector<std::string>& extra) {
    std::filesystem::remove(std::filesystem::path(pack) / "hot.bin");
    std::vector<std::string> args = {"run", pack, "-p", "Tell me about caches.", "-n", "16", "-t", "1", "-c", "512",
                                     "--cache-mb", "1", "--kv-disk-mb", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    return mivra(args);
}

bool has_lowbit_line(const std::string& err) { return err.find("\n  lowbit: ") != std::string::npos; }

}  // namespace

TEST(LossyRun, LowbitCopiesAreUsedOnlyInFastModeAndChangeNothingElse) {
    temp_folder tmp;
    fixture_model_options mo;  // rows of 256 for q4_K; f16 experts
    mo.n_embd = 256;
    mo.n_ff_exp = 256;
    mo.head_dim = 64;
    mo.expert_type = "f16";
    mo.n_expert = 32;  // 64 experts for 16 slots: reads go on during generation
    const std::string gguf = (tmp / "model.gguf").string();
    write_fixture_model(mo, gguf);
    const std::string plain = (tmp / "plain").string(), q4 = (tmp / "q4").string(), f16 = (tmp / "f16").string();
    ASSERT_EQ(mivra({"pack", gguf, plain, "--verify", "0"}).exit_code, 0);
    ASSERT_EQ(mivra({"pack", gguf, q4, "--lowbit", "q4_K", "--verify", "0"}).exit_code, 0);
    const child_result pf = mivra({"pack", gguf, f16, "--lowbit", "f16", "--verify", "0"});
    ASSERT_EQ(pf.exit_code, 0) << pf.err;

    const child_result exact = run_pack(plain, {});
    ASSERT_EQ(exact.exit_code, 0) << exact.err;
    ASSERT_GT(exact.out.size(), 1u);
    EXPECT_FALSE(has_lowbit_line(exact.err)) << exact.err;
    EXPECT_EQ(exact.err.find("\n  lossy: "), std::string::npos) << exact.err;  // nothing went through the lossy step

    // The low-bit file present, exact mode: not one low-bit read, the exact text.
    const child_result q4_exact = run_pack(q4, {"--mode", "exact"});
    ASSERT_EQ(q4_exact.exit_code, 0) << q4_exact.err;
    EXPECT_EQ(q4_exact.out, exact.out);
    EXPECT_FALSE(has_lowbit_line(q4_exact.err)) << q4_exact.err;

    // Fast mode reads the low-bit copies and reports them.
    const child_result q4_fast = run_pack(q4, {"--mode", "fast"});
    ASSERT_EQ(q4_fast.exit_code, 0) << q4_fast.err;
    EXPECT_GT(q4_fast.out.size(), 1u);
    EXPECT_TRUE(has_lowbit_line(q4_fast.err)) << q4_fast.err;
    EXPECT_NE(q4_fast.err.find(" reads used the low-bit copy, "), std::string::npos) << q4_fast.err;
    EXPECT_NE(q4_fast.err.find("\n  lossy: "), std::string::npos) << q4_fast.err;  // expert mass 0.9

    // Low-bit copies identical to the experts, used through every read: the exact text again.
    const child_result same = run_pack(f16, {"--mode", "exact", "--lowbit"});
    ASSERT_EQ(same.exit_code, 0) << same.err;
    EXPECT_TRUE(has_lowbit_line(same.err)) << same.err;
    EXPECT_EQ(same.out, exact.out);
}
