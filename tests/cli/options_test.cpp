// The option parser and its number parsing, in-process.
#include "cli/mivra_main.h"
#include "cli/options.h"
#include "cli/parse_number.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

engine_options parse(std::vector<std::string> args) {
    args.insert(args.begin(), {"mivra", "run"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return parse_options(static_cast<int>(argv.size()), argv.data(), 2);
}

std::string error_of(const std::vector<std::string>& args) {
    try {
        parse(args);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(ParseOptions, Defaults) {
    const engine_options o = parse({});
    EXPECT_EQ(o.pack_dir, "");
    EXPECT_EQ(o.input_path, "");
    EXPECT_EQ(o.prompt, "Explain what a Mixture-of-Experts language model is.");
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.n_predict, 256);
    EXPECT_EQ(o.n_threads, 4);
    EXPECT_EQ(o.n_ctx, 4096);
    EXPECT_EQ(o.n_prompts, 1 << 30);
    EXPECT_EQ(o.io_threads, 4);
    EXPECT_EQ(o.prefetch, 0);
    EXPECT_EQ(o.port, 8080);
    EXPECT_EQ(o.n_parallel, 1);
    EXPECT_EQ(o.draft_max, 6);
    EXPECT_EQ(o.protect, -1.0f);
    EXPECT_EQ(o.skip_below, 0.0f);
    EXPECT_EQ(o.prefer_cached, 0.0f);
    EXPECT_EQ(o.expert_mass, 0.0f);
    EXPECT_EQ(o.mode, "exact");
    EXPECT_FALSE(o.lowbit);
    EXPECT_EQ(o.cache_mb, 0u);
    EXPECT_EQ(o.kv_disk_mb, 4096u);
}

TEST(ParseOptions, EveryOptionSetsItsField) {
    const engine_options o = parse({"pack", "-p", "hi there", "-n", "12x", "-t", "8", "-c", "2048", "--cache-mb",
                                    "5000", "--prompts", "3", "--io-threads", "2", "--protect", "0.25",
                                    "--prefetch", "-1", "--host", "0.0.0.0", "--port", "9000", "--skip-below",
                                    "0.05", "--prefer-cached", "1e-1", "--lowbit", "--expert-mass", ".9", "--mode",
                                    "fast", "--kv-disk-mb", "0", "-np", "3", "--draft", "4", "input.jsonl", "extra"});
    EXPECT_EQ(o.pack_dir, "pack");
    EXPECT_EQ(o.input_path, "input.jsonl");
    EXPECT_EQ(o.prompt, "hi there");
    EXPECT_EQ(o.n_predict, 12);  // the rest of "12x" is ignored
    EXPECT_EQ(o.n_threads, 8);
    EXPECT_EQ(o.n_ctx, 2048);
    EXPECT_EQ(o.cache_mb, 5000u);
    EXPECT_EQ(o.n_prompts, 3);
    EXPECT_EQ(o.io_threads, 2);
    EXPECT_EQ(o.protect, 0.25f);
    EXPECT_EQ(o.prefetch, -1);  // a value that looks like an option is still the value
    EXPECT_EQ(o.host, "0.0.0.0");
    EXPECT_EQ(o.port, 9000);
    EXPECT_FLOAT_EQ(o.skip_below, 0.05f);
    EXPECT_FLOAT_EQ(o.prefer_cached, 0.1f);
    EXPECT_TRUE(o.lowbit);
    EXPECT_FLOAT_EQ(o.expert_mass, 0.9f);
    EXPECT_EQ(o.mode, "fast");
    EXPECT_EQ(o.kv_disk_mb, 0u);
    EXPECT_EQ(o.n_parallel, 3);
    EXPECT_EQ(o.draft_max, 4);
}

TEST(ParseOptions, ClampsPositionalsAndRepeats) {
    EXPECT_EQ(parse({"--draft", "9"}).draft_max, 6);
    EXPECT_EQ(parse({"--draft", "-3"}).draft_max, 0);
    EXPECT_EQ(parse({"-np", "0"}).n_parallel, 1);
    EXPECT_EQ(parse({"-np", "-5"}).n_parallel, 1);
    EXPECT_EQ(parse({"-n", "5", "-n", "7"}).n_predict, 7);
    EXPECT_EQ(parse({"-t", "1"}).n_threads, 1);
    EXPECT_EQ(parse({"-t", "512"}).n_threads, 512);
    const engine_options o = parse({"--verbose", "mypack"});  // no such option: a positional argument
    EXPECT_EQ(o.pack_dir, "--verbose");
    EXPECT_EQ(o.input_path, "mypack");
}

TEST(ParseOptions, Errors) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"pack", "-n"}, "missing value for -n"},
        {{"pack", "--mode"}, "missing value for --mode"},
        {{"-n", "abc"}, "invalid stoi argument"},
        {{"-c", ""}, "invalid stoi argument"},
        {{"--port", "-"}, "invalid stoi argument"},
        {{"-n", "2147483648"}, "stoi argument out of range"},
        {{"-n", "-99999999999999999999"}, "stoi argument out of range"},
        {{"--cache-mb", "lots"}, "invalid stoull argument"},
        {{"--cache-mb", "18446744073709551616"}, "stoull argument out of range"},
        {{"--kv-disk-mb", "-1"}, "stoull argument out of range"},
        {{"--protect", "x"}, "invalid stof argument"},
        {{"--skip-below", "1e99"}, "stof argument out of range"},
        {{"-t", "0"}, "-t must be between 1 and 512"},
        {{"-t", "513"}, "-t must be between 1 and 512"},
        {{"-t", "-4"}, "-t must be between 1 and 512"},
    };
    for (const auto& [args, message] : cases) EXPECT_EQ(error_of(args), message) << args[0] << " " << args[1];
}

TEST(ParseNumber, ReadsLikeTheStandardConversions) {
    EXPECT_EQ(parse_i32("  42"), 42);
    EXPECT_EQ(parse_i32("+7"), 7);
    EXPECT_EQ(parse_i32("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_i32("0x10"), 0);
    EXPECT_EQ(parse_i32("1e3"), 1);
    EXPECT_EQ(parse_u64("-0"), 0u);
    EXPECT_EQ(parse_u64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parse_f32(" .5"), 0.5f);
    EXPECT_EQ(parse_f32("1e3x"), 1000.0f);
    EXPECT_EQ(parse_f32("-2.5"), -2.5f);
    EXPECT_THROW(parse_i32("x"), std::invalid_argument);
    EXPECT_THROW(parse_i32("99999999999"), std::out_of_range);
    EXPECT_THROW(parse_u64(""), std::invalid_argument);
    EXPECT_THROW(parse_f32("3.4e39"), std::out_of_range);
}

TEST(PackLookup, NameInTheModelsFolder) {
    char pattern[] = "/tmp/mivra-cli-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path models = pattern;
    fs::create_directories(models / "ready");
    std::ofstream(models / "ready" / "manifest.json") << "{}";
    fs::create_directories(models / "empty");

    engine_options o;
    o.pack_dir = "ready";
    resolve_pack_dir(o, models.string());
    EXPECT_EQ(o.pack_dir, (models / "ready").string());

    o.pack_dir = "empty";  // a folder without a manifest stays as typed
    resolve_pack_dir(o, models.string());
    EXPECT_EQ(o.pack_dir, "empty");

    o.pack_dir = models.string();  // an existing path is taken as it is
    resolve_pack_dir(o, "/nonexistent");
    EXPECT_EQ(o.pack_dir, models.string());

    o.pack_dir = "";
    resolve_pack_dir(o, models.string());
    EXPECT_EQ(o.pack_dir, "");
    fs::remove_all(models);

    EXPECT_EQ(default_models_dir(), (fs::read_symlink("/proc/self/exe").parent_path() / "models").string());
}
