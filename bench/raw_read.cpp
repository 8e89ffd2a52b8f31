// raw_read: the read throughput of a file with unbuffered (O_DIRECT) positioned reads of whole blobs chosen at
// random, the access pattern of an expert cache that misses on every lookup. bench/run.sh uses it as the disk's
// ceiling for expert reads.
//
//   raw_read FILE --blob BYTES [--threads N] [--seconds S] [--small-pages]
//
// FILE is taken as a row of equal blobs of BYTES bytes (an experts.bin whose layers share one stride). N threads
// (default 4) each read random blobs for S seconds (default 3), one read per blob, into a few slots of an arena of
// their own that is reserved, advised and committed like the expert cache's arena: backed by huge pages where the
// system offers them. That matters: into 4 KiB pages the block layer splits every large read into many small
// requests and the disk looks several times slower than it is for the cache. --small-pages reads into ordinary
// pages instead, to show that difference. Prints one line:
//   raw_read threads=N pages=huge|small reads=R bytes=B seconds=T gbps=G
// with G = B / T / 10^9. Exits with 1 when the file cannot be read without the page cache (tmpfs and the like),
// since the figure would then measure memory, not the disk.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/direct_file.h"
#include "platform/virtual_memory.h"

namespace {

struct options {
    std::string path;
    uint64_t blob = 0;
    int threads = 4;
    double seconds = 3.0;
    bool small_pages = false;
};

constexpr uint64_t slots_per_thread = 4;  // blobs read in turn, as consecutive cache slots are
constexpr uint64_t huge_page = 2ull << 20;

options parse(int argc, char** argv) {
    options o;
    if (argc < 2)
        throw std::runtime_error("usage: raw_read FILE --blob BYTES [--threads N] [--seconds S] [--small-pages]");
    o.path = argv[1];
    for (int i = 2; i < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--small-pages") {
            o.small_pages = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error("missing value for " + a);
        const std::string v = argv[i + 1];
        if (a == "--blob") o.blob = std::stoull(v);
        else if (a == "--threads") o.threads = std::stoi(v);
        else if (a == "--seconds") o.seconds = std::stod(v);
        else throw std::runtime_error("unknown option " + a);
    }
    if (o.blob == 0 || o.blob % 4096 != 0) throw std::runtime_error("--blob must be a positive multiple of 4096");
    if (o.threads < 1) throw std::runtime_error("--threads must be at least 1");
    return o;
}

uint64_t file_size(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size < 0 ? 0 : uint64_t(size);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const options o = parse(argc, argv);
        const uint64_t n_blobs = file_size(o.path) / o.blob;
        if (n_blobs == 0) throw std::runtime_error(o.path + " is smaller than one blob");

        std::atomic<bool> stop{false};
        std::atomic<bool> failed{false};
        std::atomic<uint64_t> reads{0};
        std::atomic<int> started{0};
        std::atomic<bool> timing{false};
        std::vector<std::thread> workers;
        for (int t = 0; t < o.threads; ++t) {
            workers.emplace_back([&, t] {
                direct_file f;
                if (!f.open(o.path) || !f.is_direct()) {
                    failed = true;
                    return;
                }
                const uint64_t bytes = (slots_per_thread * o.blob + huge_page - 1) / huge_page * huge_page;
                reserved_memory arena(bytes);
                if (!arena.valid()) {
                    failed = true;
                    return;
                }
                if (!o.small_pages) advise_huge_pages(arena.data(), bytes);
                if (!commit_memory(arena.data(), bytes)) {
                    failed = true;
                    return;
                }
                // Fault the pages in before timing, as a cache that has run for a while has them.
                for (uint64_t b = 0; b < bytes; b += 4096) arena.data()[b] = 1;
                started.fetch_add(1);
                std::mt19937_64 rng(0x9E3779B97F4A7C15ull + uint64_t(t));
                std::uniform_int_distribution<uint64_t> pick(0, n_blobs - 1);
                for (uint64_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
                    uint8_t* slot = arena.data() + (i % slots_per_thread) * o.blob;
                    if (f.read_at(slot, o.blob, pick(rng) * o.blob) != o.blob) {
                        failed = true;
                        break;
                    }
                    if (timing.load() && !stop.load()) reads.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
        // Time from the moment every thread has its memory ready (or one gave up) until stop; reads count when
        // they end inside that period.
        while (started.load() < o.threads && !failed.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        timing = true;
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
        stop = true;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (auto& w : workers) w.join();
        if (failed) throw std::runtime_error(o.path + ": unbuffered reads failed (or the file system refuses them)");
        const uint64_t bytes = reads.load() * o.blob;
        std::printf("raw_read threads=%d pages=%s reads=%llu bytes=%llu seconds=%.3f gbps=%.3f\n", o.threads,
                    o.small_pages ? "small" : "huge", static_cast<unsigned long long>(reads.load()),
                    static_cast<unsigned long long>(bytes), seconds, double(bytes) / seconds / 1e9);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "raw_read: %s\n", e.what());
        return 1;
    }
}
