// Read throughput of the expert cache against raw unbuffered reads of the same file with the same thread count.
//
//   expert_cache_bench FILE [--make GIB] [--threads N] [--expert-kib K] [--seconds S] [--slots N] [--chunk N]
//                      [--rounds R]
//
// FILE is treated as an experts.bin of equal blobs of K KiB (default 3072). --make writes it first (GIB gibibytes
// of pseudo-random bytes, flushed and dropped from the page cache). Both measurements read blobs chosen uniformly
// at random over the whole file, so nearly every read is a miss:
//  - raw: N threads, each in a loop: pread(O_DIRECT) one random blob into a buffer of its own; measured twice, with
//    one buffer per thread and with buffers rotating over as much memory as the cache's slots;
//  - cache: the owner thread does what the model runner does per layer: acquire a chunk of random distinct experts,
//    prefetch the next chunk's, wait for the chunk with wait_any_ready, unpin; the cache has N I/O threads.
// Throughput is bytes read / wall time, in GB/s (10^9 bytes); the two runs alternate, R times each (default 20 rounds of S = 1 s), so that the drift of a shared disk
// falls on both alike.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/pack/model.h"
#include "engine/runtime/expert_cache.h"
#include "platform/virtual_memory.h"

namespace {

struct options {
    std::string path;
    double make_gib = 0;
    int threads = 4;
    uint64_t expert_bytes = 3072 * 1024;
    double seconds = 1;
    int slots = 64;
    int chunk = 8;
    int rounds = 20;
};

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

void make_file(const options& o) {
    uint64_t total = static_cast<uint64_t>(o.make_gib * (1ull << 30)) / o.expert_bytes * o.expert_bytes;
    int fd = ::open(o.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + o.path);
    std::vector<uint64_t> buf((8u << 20) / 8);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t done = 0; done < total;) {
        for (uint64_t& w : buf) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            w = x;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size() * 8, total - done));
        if (::write(fd, buf.data(), n) != static_cast<ssize_t>(n)) throw std::runtime_error("write failed");
        done += n;
    }
    fsync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    std::printf("wrote %s: %.2f GiB\n", o.path.c_str(), total / double(1ull << 30));
}

// N threads, each reading random blobs in a loop into its own `buffers` buffers in turn. The buffers are memory
// of the same kind as the cache's arena (2 MiB aligned, huge pages where the system offers them), touched before
// the clock starts, as the cache's slots are.
double raw_run(const options& o, uint64_t n_blobs, int buffers) {
    std::vector<reserved_memory> regions;
    for (int t = 0; t < o.threads; ++t) {
        regions.emplace_back(o.expert_bytes * buffers);
        reserved_memory& r = regions.back();
        advise_huge_pages(r.data(), r.size());
        if (!r.valid() || !commit_memory(r.data(), r.size())) {
            std::fprintf(stderr, "cannot allocate read buffers\n");
            std::exit(1);
        }
        std::memset(r.data(), 0, r.size());
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bytes{0};
    std::vector<std::thread> threads;
    auto t0 = clock_type::now();
    for (int t = 0; t < o.threads; ++t) {
        threads.emplace_back([&, t] {
            int fd = ::open(o.path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
            if (fd < 0) {
                std::perror("open O_DIRECT");
                std::exit(1);
            }
            std::mt19937_64 rng(1000 + t);
            uint64_t mine = 0;
            for (uint64_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
                uint64_t off = (rng() % n_blobs) * o.expert_bytes;
                uint8_t* buf = regions[t].data() + (i % buffers) * o.expert_bytes;
                ssize_t got = pread(fd, buf, o.expert_bytes, static_cast<off_t>(off));
                if (got != static_cast<ssize_t>(o.expert_bytes)) {
                    std::perror("pread");
                    std::exit(1);
                }
                mine += o.expert_bytes;
            }
            bytes += mine;
            ::close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    stop = true;
    for (auto& t : threads) t.join();
    return bytes.load() / since(t0) / 1e9;
}

// The owner side of the cache measurement; one cache lives through all rounds, as in the engine.
class cache_driver {
public:
    cache_driver(const options& o, const model& m, int n_expert)
        : o_(o), m_(m), n_expert_(n_expert),
          cache_(m, static_cast<uint64_t>(o.slots) * o.expert_bytes, o.threads, 0.0f, 0) {
        // Fill every slot once first: the first read into a slot also faults its pages in, which a long-lived
        // cache pays once.
        while (cache_.resident_bytes() < static_cast<uint64_t>(cache_.n_slots()) * cache_.expert_bytes())
            run_chunk(random_chunk(layer_), layer_, nullptr, 0);
    }

    // Runs for `seconds` as the model runner does per layer and returns GB/s; no read is left running after it.
    double run(double seconds, uint64_t* hits) {
        const expert_cache_stats before = cache_.stats();
        int next_layer = 0;
        std::vector<int> chunk = random_chunk(layer_), next = random_chunk(next_layer);
        auto t0 = clock_type::now();
        while (since(t0) < seconds) {
            run_chunk(chunk, layer_, &next, next_layer);
            layer_ = next_layer;
            chunk = next;
            next = random_chunk(next_layer);
        }
        cache_.cancel_prefetches();
        run_chunk(chunk, layer_, nullptr, 0);  // the prefetches already running
        double elapsed = since(t0);
        const expert_cache_stats after = cache_.stats();
        *hits = after.hits - before.hits;
        return (after.bytes_read - before.bytes_read) / elapsed / 1e9;
    }

private:
    std::vector<int> random_chunk(int& layer) {
        layer = static_cast<int>(rng_() % m_.hparams.n_layer);
        std::vector<int> experts;
        while (static_cast<int>(experts.size()) < o_.chunk) {
            int e = static_cast<int>(rng_() % n_expert_);
            if (std::find(experts.begin(), experts.end(), e) == experts.end()) experts.push_back(e);
        }
        return experts;
    }

    // Acquire the chunk, prefetch the next layer's experts, wait for the chunk, unpin.
    void run_chunk(const std::vector<int>& chunk, int layer, const std::vector<int>* next, int next_layer) {
        std::vector<int32_t> pending;
        for (int e : chunk) pending.push_back(cache_.acquire(layer, e, false));
        if (next != nullptr) {
            cache_.cancel_prefetches();
            for (int e : *next) cache_.prefetch(next_layer, e, false);
        }
        while (!pending.empty()) cache_.wait_any_ready(pending);
        cache_.unpin_all();
    }

    const options& o_;
    const model& m_;
    int n_expert_;
    expert_cache cache_;
    std::mt19937_64 rng_{7};
    int layer_ = 0;
};

options parse(int argc, char** argv) {
    options o;
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: expert_cache_bench FILE [--make GIB] [--threads N] [--expert-kib K] [--seconds S] "
                     "[--slots N] [--chunk N] [--rounds R]\n");
        std::exit(2);
    }
    o.path = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        double v = std::atof(argv[i + 1]);
        if (k == "--make") o.make_gib = v;
        else if (k == "--threads") o.threads = static_cast<int>(v);
        else if (k == "--expert-kib") o.expert_bytes = static_cast<uint64_t>(v) * 1024;
        else if (k == "--seconds") o.seconds = v;
        else if (k == "--slots") o.slots = static_cast<int>(v);
        else if (k == "--chunk") o.chunk = static_cast<int>(v);
        else if (k == "--rounds") o.rounds = std::max(1, static_cast<int>(v));
        else {
            std::fprintf(stderr, "unknown option %s\n", k.c_str());
            std::exit(2);
        }
    }
    if (o.expert_bytes == 0 || o.expert_bytes % 4096 != 0) {
        std::fprintf(stderr, "--expert-kib must be a multiple of 4\n");
        std::exit(2);
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    options o = parse(argc, argv);
    try {
        if (o.make_gib > 0) make_file(o);
        int fd = ::open(o.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot open " + o.path);
        uint64_t size = static_cast<uint64_t>(lseek(fd, 0, SEEK_END));
        ::close(fd);
        uint64_t n_blobs = size / o.expert_bytes;
        // A model of 64 experts per layer over the whole file.
        const int n_expert = 64;
        int n_layer = static_cast<int>(n_blobs / n_expert);
        if (n_layer < 1) throw std::runtime_error("file too small for one layer of 64 experts");
        model m;
        m.hparams.n_layer = n_layer;
        m.hparams.n_expert = n_expert;
        m.hparams.n_expert_used = o.chunk;
        m.experts_path = o.path;
        m.expert_bytes = o.expert_bytes;
        for (int l = 0; l < n_layer; ++l) {
            pack_layer pl;
            pl.offset = static_cast<uint64_t>(l) * n_expert * o.expert_bytes;
            pl.stride = o.expert_bytes;
            m.expert_layers.push_back(pl);
        }
        uint64_t n_used = static_cast<uint64_t>(n_layer) * n_expert;
        std::printf("file %.2f GiB, %llu blobs of %llu KiB, %d threads, cache %d slots, chunk %d, %.0f s per run\n",
                    size / double(1ull << 30), static_cast<unsigned long long>(n_used),
                    static_cast<unsigned long long>(o.expert_bytes / 1024), o.threads, o.slots, o.chunk, o.seconds);
        std::fflush(stdout);
        cache_driver driver(o, m, n_expert);
        // Two raw baselines: one buffer per thread, reused (the destination stays in the CPU caches, which matters
        // where the "disk" is itself memory, as in a VM backed by the host's page cache), and buffers rotating over
        // as much memory as the cache's slots (the same memory traffic as the cache).
        const int spread = std::max(1, o.slots / o.threads);
        double sum_one = 0, sum_spread = 0, sum_cache = 0;
        std::vector<double> ratios;
        for (int round = 0; round < o.rounds; ++round) {
            double one = raw_run(o, n_used, 1);
            double spread_rate = raw_run(o, n_used, spread);
            uint64_t hits = 0;
            double cached = driver.run(o.seconds, &hits);
            sum_one += one;
            sum_spread += spread_rate;
            sum_cache += cached;
            ratios.push_back(cached / spread_rate);
            std::printf("round %2d: raw %.3f GB/s (one buffer), %.3f GB/s (%d buffers); cache %.3f GB/s, %llu hits\n",
                        round + 1, one, spread_rate, spread, cached, static_cast<unsigned long long>(hits));
        }
        std::sort(ratios.begin(), ratios.end());
        std::printf("mean of %d rounds, %d threads: raw one buffer %.3f GB/s, raw %d buffers %.3f GB/s, cache %.3f GB/s; "
                    "cache/raw %.1f%% (same memory), %.1f%% (one buffer); median round %.1f%%\n",
                    o.rounds, o.threads, sum_one / o.rounds, spread, sum_spread / o.rounds, sum_cache / o.rounds,
                    100.0 * sum_cache / sum_spread, 100.0 * sum_cache / sum_one, 100.0 * ratios[ratios.size() / 2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
    return 0;
}
