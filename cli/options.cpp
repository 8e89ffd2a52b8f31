#include "cli/options.h"

#include "cli/parse_number.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

engine_options parse_options(int argc, char** argv, int first) {
    engine_options o;
    std::vector<std::string> positional;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next_option_value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "-p") o.prompt = next_option_value();
        else if (arg == "-n") o.n_predict = parse_i32(next_option_value());
        else if (arg == "-t") o.n_threads = parse_i32(next_option_value());
        else if (arg == "-c") o.n_ctx = parse_i32(next_option_value());
        else if (arg == "--cache-mb") o.cache_mb = parse_u64(next_option_value());
        else if (arg == "--prompts") o.n_prompts = parse_i32(next_option_value());
        else if (arg == "--io-threads") o.io_threads = parse_i32(next_option_value());
        else if (arg == "--protect") o.protect = parse_f32(next_option_value());
        else if (arg == "--prefetch") o.prefetch = parse_i32(next_option_value());
        else if (arg == "--host") o.host = next_option_value();
        else if (arg == "--port") o.port = parse_i32(next_option_value());
        else if (arg == "--skip-below") o.skip_below = parse_f32(next_option_value());
        else if (arg == "--prefer-cached") o.prefer_cached = parse_f32(next_option_value());
        else if (arg == "--lowbit") o.lowbit = true;
        else if (arg == "--expert-mass") o.expert_mass = parse_f32(next_option_value());
        else if (arg == "--mode") o.mode = next_option_value();
        else if (arg == "--kv-disk-mb") o.kv_disk_mb = parse_u64(next_option_value());
        else if (arg == "-np") o.n_parallel = std::max(1, parse_i32(next_option_value()));
        else if (arg == "--draft") o.draft_max = std::clamp(parse_i32(next_option_value()), 0, 6);
        else positional.push_back(arg);
    }
    // The CPU thread pool refuses other counts with an abort; say it here instead.
    if (o.n_threads < 1 || o.n_threads > 512) throw std::runtime_error("-t must be between 1 and 512");
    if (!positional.empty()) o.pack_dir = positional[0];
    if (positional.size() > 1) o.input_path = positional[1];
    return o;
}
