// A small pack for expert cache tests: a `model` whose layer tables describe an experts.bin (and optionally an
// experts.lo.bin) written here, in which every 8-byte word of every blob names its file, its expert key and its
// position, so that a slot holding the wrong expert, the wrong copy or a torn read is visible.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/pack/model.h"

namespace test_pack {

// Full-file strides alternate 4096 and 8192 bytes by layer, so a slot is larger than some blobs; the low-bit
// file has 4096 per blob.
inline uint64_t full_stride(int layer) { return 4096u * (1 + layer % 2); }
constexpr uint64_t lowbit_stride = 4096;

inline uint64_t word(bool lowbit, int64_t key, uint64_t i) {
    return (lowbit ? 0xA5ull << 56 : 0x5Aull << 56) | (static_cast<uint64_t>(key) << 24) | i;
}

struct pack {
    std::string dir;
    std::unique_ptr<model> m = std::make_unique<model>();
    int n_layer = 0;
    int n_expert = 0;

    pack() = default;
    pack(const pack&) = delete;
    pack& operator=(const pack&) = delete;
    ~pack() {
        m.reset();
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    int64_t key(int layer, int expert) const { return static_cast<int64_t>(layer) * n_expert + expert; }
    uint64_t full_offset(int64_t key) const {
        const pack_layer& l = m->expert_layers[key / n_expert];
        return l.offset + static_cast<uint64_t>(key % n_expert) * l.stride;
    }

    // True when `mem` holds exactly the blob of `key` from the file that `lowbit` names.
    bool holds(const uint8_t* mem, int64_t key, bool lowbit) const {
        const pack_layer& l = (lowbit ? m->lowbit_layers : m->expert_layers)[key / n_expert];
        for (uint64_t i = 0; i < l.stride / 8; ++i) {
            uint64_t w;
            std::memcpy(&w, mem + i * 8, 8);
            if (w != word(lowbit, key, i)) return false;
        }
        return true;
    }
};

inline std::vector<pack_layer> write_expert_file(const std::string& path, int n_layer, int n_expert, bool lowbit,
                                                 uint64_t cut_bytes) {
    std::vector<pack_layer> layers;
    std::vector<uint8_t> file;
    for (int l = 0; l < n_layer; ++l) {
        pack_layer pl;
        pl.offset = file.size();
        pl.stride = lowbit ? lowbit_stride : full_stride(l);
        pl.gate = {1, 64, 8, 0, 512};
        pl.up = {1, 64, 8, 512, 512};
        pl.down = {1, 8, 64, 1024, 512};
        for (int e = 0; e < n_expert; ++e) {
            int64_t key = static_cast<int64_t>(l) * n_expert + e;
            for (uint64_t i = 0; i < pl.stride / 8; ++i) {
                uint64_t w = word(lowbit, key, i);
                file.insert(file.end(), reinterpret_cast<uint8_t*>(&w), reinterpret_cast<uint8_t*>(&w) + 8);
            }
        }
        layers.push_back(pl);
    }
    file.resize(file.size() - cut_bytes);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    ::close(fd);
    return layers;
}

// Writes the files into a fresh folder under `parent` (the test temp folder by default) and fills the model.
// cut_bytes shortens experts.bin at its end.
inline void make(pack& p, int n_layer, int n_expert, bool with_lowbit, uint64_t cut_bytes = 0,
                 std::string parent = "") {
    if (parent.empty()) parent = testing::TempDir();
    std::string pattern = (std::filesystem::path(parent) / "mivra-cache-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    p.dir = pattern;
    p.n_layer = n_layer;
    p.n_expert = n_expert;
    model& m = *p.m;
    m.arch = "qwen3moe";
    m.hparams.n_layer = n_layer;
    m.hparams.n_expert = n_expert;
    m.hparams.n_expert_used = 2;
    m.experts_path = p.dir + "/experts.bin";
    m.expert_layers = write_expert_file(m.experts_path, n_layer, n_expert, false, cut_bytes);
    if (with_lowbit) {
        m.lowbit_path = p.dir + "/experts.lo.bin";
        m.lowbit_layers = write_expert_file(m.lowbit_path, n_layer, n_expert, true, 0);
    }
    m.expert_bytes = 0;
    for (const auto* t : {&m.expert_layers, &m.lowbit_layers})
        for (const pack_layer& l : *t) m.expert_bytes = std::max(m.expert_bytes, l.stride);
}

}  // namespace test_pack

#include "engine/runtime/expert_cache.h"

namespace test_pack {

// The runner's calling pattern for one chunk: acquire every key, wait until all are ready (checking each slot's
// bytes as it arrives), unpin. Returns the slot of each key.
inline std::vector<int32_t> load(expert_cache& c, const pack& p, const std::vector<int64_t>& keys,
                                 bool allow_lowbit = false) {
    std::vector<int32_t> slots, pending;
    for (int64_t k : keys) {
        int32_t s = c.acquire(static_cast<int32_t>(k / p.n_expert), static_cast<int32_t>(k % p.n_expert),
                              allow_lowbit);
        slots.push_back(s);
        if (std::find(pending.begin(), pending.end(), s) == pending.end()) pending.push_back(s);
    }
    while (!pending.empty()) {
        for (int32_t s : c.wait_any_ready(pending)) {
            size_t i = std::find(slots.begin(), slots.end(), s) - slots.begin();
            EXPECT_TRUE(p.holds(c.slot_memory(s), keys[i], c.holds_lowbit(s))) << "slot " << s << " key " << keys[i];
        }
    }
    c.unpin_all();
    return slots;
}

inline std::vector<int64_t> key_range(int64_t first, int64_t count) {
    std::vector<int64_t> keys;
    for (int64_t k = first; k < first + count; ++k) keys.push_back(k);
    return keys;
}

// The key each slot in use holds (-1 for empty).
inline std::vector<int64_t> slot_keys(expert_cache& c) {
    std::vector<int64_t> keys;
    for (const expert_slot& s : c.slots_snapshot()) keys.push_back(s.key);
    return keys;
}

}  // namespace test_pack
