// Read throughput of the expert cache against raw unbuffered reads of the same file with the same thread count.
//
//   expert_cache_bench FILE [--make GIB] [--threads N] [--expert-kib K] [--seconds S] [--slots N] [--chunk N]
//                      [--rounds R]
//
// FILE is treated as an experts.bin of equal blobs of K KiB (default 3072). --make writes it first (GIB gibibytes
// of pseudo-random bytes, flushed and dropped from the page cache). Both measurements read blobs chosen uniformly
// at random over the whole file, so nearly every read is a miss:
//  - raw: N threads, each in a loop: pread(O_DIRECT) one random blob into its own aligned buffer;
//  - cache: the owner thread does what the model runner does per layer: acquire a chunk of random distinct experts,
//    prefetch the next chunk's, wait for the chunk with wait_any_ready, unpin; the cache has N I/O threads.
// Throughput is bytes read / wall time, in GB/s (10^9 bytes); the two runs alternate, R times each (default 5).
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

namespace {

struct options {
    std::string path;
    double make_gib = 0;
    int threads = 4;
    uint64_t expert_bytes = 3072 * 1024;
    double seconds = 5;
    int slots = 64;
    int chunk = 8;
    int rounds = 5;
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

double raw_run(const options& o, uint64_t n_blobs) {
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
            void* buf = std::aligned_alloc(4096, o.expert_bytes);
            std::mt19937_64 rng(1000 + t);
            uint64_t mine = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                uint64_t off = (rng() % n_blobs) * o.expert_bytes;
                ssize_t got = pread(fd, buf, o.expert_bytes, static_cast<off_t>(off));
                if (got != static_cast<ssize_t>(o.expert_bytes)) {
                    std::perror("pread");
                    std::exit(1);
                }
                mine += o.expert_bytes;
            }
            bytes += mine;
            std::free(buf);
            ::close(fd);
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(o.seconds));
    stop = true;
    for (auto& t : threads) t.join();
    return bytes.load() / since(t0) / 1e9;
}

double cache_run(const options& o, const model& m, int n_expert, uint64_t* hits) {
    expert_cache cache(m, static_cast<uint64_t>(o.slots) * o.expert_bytes, o.threads, 0.0f, 0);
    std::mt19937_64 rng(7);
    auto random_chunk = [&](int& layer) {
        layer = static_cast<int>(rng() % m.hparams.n_layer);
        std::vector<int> experts;
        while (static_cast<int>(experts.size()) < o.chunk) {
            int e = static_cast<int>(rng() % n_expert);
            if (std::find(experts.begin(), experts.end(), e) == experts.end()) experts.push_back(e);
        }
        return experts;
    };
    int layer = 0, next_layer = 0;
    std::vector<int> chunk = random_chunk(layer), next = random_chunk(next_layer);
    auto t0 = clock_type::now();
    while (since(t0) < o.seconds) {
        std::vector<int32_t> pending;
        for (int e : chunk) pending.push_back(cache.acquire(layer, e, false));
        cache.cancel_prefetches();
        for (int e : next) cache.prefetch(next_layer, e, false);
        while (!pending.empty()) cache.wait_any_ready(pending);
        cache.unpin_all();
        layer = next_layer;
        chunk = next;
        next = random_chunk(next_layer);
    }
    double elapsed = since(t0);
    expert_cache_stats st = cache.stats();
    *hits = st.hits;
    // Reads of prefetches still running at the end are not counted: a slight undercount in the cache's disfavour.
    return st.bytes_read / elapsed / 1e9;
}

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
        double raw_sum = 0, cache_sum = 0;
        std::vector<double> ratios;
        for (int round = 0; round < o.rounds; ++round) {
            double raw = raw_run(o, n_used);
            uint64_t hits = 0;
            double cached = cache_run(o, m, n_expert, &hits);
            raw_sum += raw;
            cache_sum += cached;
            ratios.push_back(cached / raw);
            std::printf("round %d: raw %.3f GB/s, cache %.3f GB/s (%.1f%%), cache hits %llu\n", round + 1, raw, cached,
                        100.0 * cached / raw, static_cast<unsigned long long>(hits));
        }
        std::sort(ratios.begin(), ratios.end());
        std::printf("mean: raw %.3f GB/s, cache %.3f GB/s, cache/raw %.1f%% (median of rounds %.1f%%)\n",
                    raw_sum / o.rounds, cache_sum / o.rounds, 100.0 * cache_sum / raw_sum,
                    100.0 * ratios[ratios.size() / 2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 1;
    }
    return 0;
}
