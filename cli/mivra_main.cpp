#include "cli/mivra_main.h"

#include "cli/commands.h"
#include "cli/options.h"
#include "distribution/cmd_path.h"
#include "distribution/cmd_pull.h"
#include "distribution/cmd_start.h"
#include "engine/pack/cmd_pack.h"
#include "engine/runtime/library_log.h"
#include "engine/runtime/chat_template_probe.h"
#include "platform/folders.h"
#include "platform/signals.h"

#include <clocale>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

// The program's usage text as users know it. It shows neither `imatrix` nor `--draft`, which both work: they are
// tools for people who make packs and tune decoding, kept out of the short overview on purpose.
const char* const usage_text =
    "usage:\n"
    "  mivra run    <pack> -p \"prompt\" [-n 256] [options]\n"
    "  mivra serve  <pack> [--host 127.0.0.1] [--port 8080] [options]   (chat UI at /)\n"
    "  mivra golden <pack> <golden.jsonl> [--prompts N] [options]\n"
    "  mivra start  (menu: pick, download or update a model, serve it, open the chat page)\n"
    "  mivra path on | off  (whether `mivra` works from any folder; on after the first start)\n"
    "  mivra pull   <owner/name> [out_dir] [--lowbit]   (download or update a pack from Hugging Face)\n"
    "  mivra pack   <model.gguf> <out_dir>   (GGUF -> Mivra pack, run once per model)\n"
    "  mivra selftest\n"
    "options: -t 4  -c 4096  --cache-mb 0 (auto)  --io-threads 4  --protect F  --prefetch 0 (-1 = off)\n"
    "         --kv-disk-mb 4096 (saved prompt KV, 0 = off)  -np 1 (parallel requests)\n"
    "lossy:   --mode exact|balanced|fast  --skip-below W  --prefer-cached D  --expert-mass M\n"
    "         --lowbit (needs a pack made with --lowbit)\n";

namespace {

const char* const stop_message = "\n  Stopping Mivra.\n";

int run_pack_command(int argc, char** argv) {
    // The pack command shows "mivra pack" as its program name in its usage.
    std::vector<std::string> args(argv + 1, argv + argc);
    args[0] = "mivra pack";
    std::vector<char*> pointers;
    for (std::string& a : args) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    return cmd_pack(static_cast<int>(args.size()), pointers.data());
}

int dispatch(int argc, char** argv) {
    if (argc > 1) {
        const std::string command = argv[1];
        if (command == chat_template_probe_command && argc == 3) return chat_template_probe_main(argv[2]);
        if (command == "selftest") return cmd_selftest();
        if (command == "pull") return cmd_pull(argc - 1, argv + 1);
        if (command == "start") return cmd_start(argc - 1, argv + 1, serve_from_args);
        if (command == "path") return cmd_path(argc - 1, argv + 1);
        if (command == "pack") return run_pack_command(argc, argv);
    }
    if (argc < 3) {
        std::fputs(usage_text, stderr);
        return 1;
    }
    engine_options options = parse_options(argc, argv, 2);
    resolve_pack_dir(options, default_models_dir());
    const std::string command = argv[1];
    if (command == "run") return cmd_run(options);
    if (command == "serve") return cmd_serve(options);
    if (command == "golden") return cmd_golden(options);
    if (command == "imatrix") return cmd_imatrix(options);
    std::fprintf(stderr, "unknown command %s\n", argv[1]);
    return 1;
}

}  // namespace

std::string default_models_dir() { return (executable_path().parent_path() / "models").string(); }

void resolve_pack_dir(engine_options& options, const std::string& models_dir) {
    if (options.pack_dir.empty()) return;
    std::error_code ec;
    if (fs::exists(fs::path(options.pack_dir), ec)) return;
    const fs::path candidate = fs::path(models_dir) / options.pack_dir;
    if (fs::exists(candidate / "manifest.json", ec)) options.pack_dir = candidate.string();
}

int serve_from_args(int argc, char** argv) {
    try {
        return cmd_serve(parse_options(argc, argv, 2));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}

int mivra_main(int argc, char** argv) {
    std::setlocale(LC_NUMERIC, "C");
    ignore_sigpipe();
    // Only our own lines on stderr: the libraries' lines pass through one filter in every command.
    install_library_log_filter();
    const std::string command = argc > 1 ? argv[1] : "";
    // An interrupted one-shot command has not done its work; an interactive server ends normally this way.
    set_stop_exit_code(command == "serve" || command == "start" ? 0 : 130);
    install_stop_handler(stop_message);
    try {
        return dispatch(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
}
