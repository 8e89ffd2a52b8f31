// hot.bin: the cache's usage scores (n_layer * n_expert little-endian f32 in key order, no header) kept in the pack
// folder, so that a restart warms the cache with the experts the last run used most.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "engine/runtime/engine.h"

namespace {

std::filesystem::path pack_file(const engine_options& options, const char* name) {
    return std::filesystem::path(options.pack_dir) / name;
}

}  // namespace

void engine::load_hot_bin() {
    std::ifstream in(pack_file(options, "hot.bin"), std::ios::binary);
    if (!in) return;
    std::vector<float> scores(size_t(mdl.hparams.n_layer) * size_t(mdl.hparams.n_expert));
    in.read(reinterpret_cast<char*>(scores.data()), std::streamsize(scores.size() * sizeof(float)));
    if (in.gcount() != std::streamsize(scores.size() * sizeof(float))) return;
    if (in.peek() != std::ifstream::traits_type::eof()) return;  // longer than expected: another model's file
    // The prompt waits for these reads anyway; reading them all first keeps them off its path, like a model load.
    cache->warm_start(scores);
    cache->wait_warm_start();
}

void engine::save_hot_bin() {
    const std::vector<float> scores = cache->usage_snapshot();
    const std::filesystem::path tmp = pack_file(options, "hot.bin.tmp");
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(scores.data()), std::streamsize(scores.size() * sizeof(float)));
        out.close();
        if (!out) return;  // the old hot.bin stays
    }
    std::error_code ec;
    std::filesystem::rename(tmp, pack_file(options, "hot.bin"), ec);  // a failed rename is ignored
}
