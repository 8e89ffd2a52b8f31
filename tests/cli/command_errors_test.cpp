// The failure paths of the engine commands (run, serve, golden, imatrix) as child processes: stderr holds exactly
// this program's own lines (the banner where a command prints one before it fails, then "error: ..."), never a line
// of ggml, libllama or llama-common, whatever is wrong with the pack.
#include "cli/run_child.h"
#include "engine/pack/pack_test_util.h"

#include <gguf.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

// `text` as a regular expression that matches exactly it.
std::string literal(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// The banners printed once the model is loaded: the engine's (run, serve) and golden's.
const std::string engine_banner =
    R"(core [0-9.]+ GB resident, expert cache [0-9]+ slots \([0-9]+ MB, auto\), context [0-9]+\n)";
const std::string golden_banner = R"(core [0-9.]+ GB resident, expert cache [0-9]+ slots \([0-9]+ MB\)\n)";

std::string error_line(const std::string& message) { return literal("error: " + message + "\n"); }

// The JSON library's own message for `text`.
std::string parse_error_of(const std::string& text) {
    try {
        (void)nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// A port nothing listens on, so that serve's port probe passes and the pack is what fails.
int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

// The arguments of `command` on `pack`: the input file of golden and imatrix (`input`, or a readable one), a free
// port for serve, one thread, then `extra`.
std::vector<std::string> command_args(const std::string& command, const std::string& pack, const temp_folder& tmp,
                                      const std::string& input, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {command, pack};
    if (command == "golden") args.push_back(input.empty() ? tmp / "golden.jsonl" : input);
    if (command == "imatrix") args.push_back(input.empty() ? tmp / "text.txt" : input);
    if (command == "serve") args.insert(args.end(), {"--port", std::to_string(free_port())});
    args.insert(args.end(), {"-t", "1"});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace

TEST(CommandErrors, StderrHoldsOnlyOurLines) {
    temp_folder tmp;
    const fixture_model_options o;
    write_bytes(tmp / "golden.jsonl", "");
    write_bytes(tmp / "text.txt", "Some calibration text.");

    // Packs that are missing or damaged in the ways a user meets: each fails in open_pack or in the vocabulary load.
    const std::string missing = tmp / "missing-pack";
    const std::string bad_manifest = pack_model(tmp, "bad-manifest", o);
    const std::string manifest_text = "{\"format\": \"mivra-pack-1\", \"layers\": [";
    write_bytes(bad_manifest + "/manifest.json", manifest_text);
    const std::string garbage_core = pack_model(tmp, "garbage-core", o);
    write_bytes(garbage_core + "/core.gguf", "garbage, no GGUF at all");
    const std::string cut_core = pack_model(tmp, "cut-core", o);
    fs::resize_file(cut_core + "/core.gguf", fs::file_size(cut_core + "/core.gguf") / 2);
    const std::string bad_vocab = pack_model(tmp, "bad-vocab", o);
    rewrite_gguf(bad_vocab + "/core.gguf", bad_vocab + "/core.new", {},
                 [](gguf_context* ctx) { gguf_set_val_str(ctx, "tokenizer.ggml.model", "no-such-tokenizer"); });
    fs::rename(bad_vocab + "/core.new", bad_vocab + "/core.gguf");
    const std::string good = pack_model(tmp, "good", o);

    struct row {
        std::vector<std::string> commands;
        std::string pack;
        std::string err;  // a regular expression for the whole of stderr
        std::string input = "";
        std::vector<std::string> extra_args = {};
    };
    std::string long_prompt = "x";
    for (int i = 0; i < 300; ++i) long_prompt += " a";  // a token each: beyond a context of 256
    const std::vector<std::string> all = {"run", "serve", "golden", "imatrix"};
    const row rows[] = {
        {all, missing, error_line("no manifest.json in " + missing)},
        {all, bad_manifest, error_line(parse_error_of(manifest_text))},
        {all, garbage_core, error_line("cannot load " + garbage_core + "/core.gguf")},
        {all, cut_core, error_line("short read in " + cut_core + "/core.gguf")},
        // golden reads no vocabulary: its pack opens.
        {{"run", "serve", "imatrix"}, bad_vocab, error_line("cannot load vocabulary from core.gguf")},
        {{"golden"}, good, golden_banner + error_line("cannot open " + (tmp / "none.jsonl")), tmp / "none.jsonl"},
        {{"imatrix"}, good, error_line("cannot read " + (tmp / "none.txt")), tmp / "none.txt"},
        {{"run", "serve"}, good, error_line("mode must be exact, balanced or fast"), "", {"--mode", "turbo"}},
        {{"run"}, good, engine_banner + error_line("prompt longer than the context"), "", {"-c", "256", "-p", long_prompt}},
    };
    for (const row& r : rows) {
        for (const std::string& command : r.commands) {
            const std::vector<std::string> args = command_args(command, r.pack, tmp, r.input, r.extra_args);
            std::string line;
            for (const std::string& a : args) line += " " + a.substr(0, 40);
            SCOPED_TRACE("mivra" + line);
            const child_result c = run_mivra(args);
            EXPECT_EQ(c.exit_code, 1);
            EXPECT_TRUE(std::regex_match(c.err, std::regex(r.err))) << "stderr:\n" << c.err << "\nexpected:\n" << r.err;
            EXPECT_EQ(c.out, "");
        }
    }
}
