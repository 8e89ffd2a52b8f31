// Shared set-up of the pull tests that run against the imitation of the Hub (hub_route.js) on the local HTTPS test
// server: one server per test program, and per test a fresh folder holding the imitation's repos ("hub") and the
// pack folder ("pack"). Pulls run as child processes (the `mivra` program, or pull_driver with its test seams)
// whose environment points HF_ENDPOINT at the imitation.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "common/https_server.h"
#include "common/sha_hasher.h"
#include "distribution/download_file.h"
#include "fixtures/temp_folder.h"

namespace pull_test {

namespace fs = std::filesystem;
using nlohmann::json;

inline const std::string mivra_program = std::string(MIVRA_BIN_DIR) + "/mivra";
inline const std::string driver_program = std::string(MIVRA_BIN_DIR) + "/pull_driver";

// n deterministic bytes that differ with the seed.
inline std::string pattern_bytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x & 0xff);
    }
    return out;
}

inline std::string sha256_hex(const std::string& bytes) {
    sha_hasher h(sha_algorithm::sha256);
    h.update(bytes.data(), bytes.size());
    return h.finish_hex();
}

inline std::string git_blob_id(const std::string& bytes) {
    sha_hasher h(sha_algorithm::sha1);
    const std::string header = "blob " + std::to_string(bytes.size());
    h.update(header.c_str(), header.size() + 1);
    h.update(bytes.data(), bytes.size());
    return h.finish_hex();
}

inline bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether the file holds exactly these bytes; a failure names the sizes and digests instead of the bytes.
inline testing::AssertionResult holds(const fs::path& file, const std::string& bytes) {
    const std::string actual = read_text(file);
    if (actual == bytes) return testing::AssertionSuccess();
    return testing::AssertionFailure() << file << " holds " << actual.size() << " bytes (sha256 "
                                       << sha256_hex(actual) << "), expected " << bytes.size() << " (sha256 "
                                       << sha256_hex(bytes) << ")";
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The files of the usual test pack (as the imitation lists them, *.gguf and *.bin in LFS), with files the pull
// must leave alone.
inline std::map<std::string, std::string> standard_pack() {
    return {{"README.md", "# test pack\n"},
            {"manifest.json", "{\"format\": \"x\"}\n"},
            {"core.gguf", pattern_bytes(300000, 1)},
            {"experts.bin", pattern_bytes(10 << 20, 2)},
            {"experts.lo.bin", pattern_bytes(100000, 3)},
            {"experts.lo.old", "old"},
            {"hot.bin", "hot"},
            {".gitattributes", "*.bin filter=lfs\n"},
            {"docs/notes.md", "notes"}};
}

// The id the Hub publishes for a file of the imitation.
inline std::string hub_id(const std::string& name, const std::string& bytes) {
    const bool lfs = ends_with(name, ".gguf") || ends_with(name, ".bin");
    return lfs ? sha256_hex(bytes) : git_blob_id(bytes);
}

class PullHub : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new https_test_server(std::string(MIVRA_SOURCE_DIR) + "/tests/distribution/hub_route.js");
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    PullHub() { fs::create_directories(hub()); }

    fs::path hub() const { return tmp / "hub"; }
    fs::path pack() const { return tmp / "pack"; }
    fs::path packed(const std::string& name) const { return pack() / name; }

    // The Hub address with the given fault modes ("-" for none).
    std::string endpoint(const std::string& faults = "-") const {
        return server->url("/hub/" + url_encode(hub().string()) + "/" + faults);
    }

    void put(const std::string& repo, const std::string& rev, const std::string& name, const std::string& bytes) {
        const fs::path file = hub() / repo / rev / name;
        fs::create_directories(file.parent_path());
        write_text(file, bytes);
    }
    void put_all(const std::string& repo, const std::map<std::string, std::string>& files,
                 const std::string& rev = "main") {
        for (const auto& [name, bytes] : files) put(repo, rev, name, bytes);
    }
    // A listing served in place of the one the imitation would make.
    void put_listing(const std::string& repo, const json& listing, const std::string& rev = "main") {
        fs::create_directories(hub() / repo);
        write_text(hub() / repo / ("tree-" + url_encode(rev) + ".json"), listing.dump());
    }

    // Runs `program` with the arguments (for pull_driver the first is its mode) against the imitation.
    child_result run(const std::string& program, const std::vector<std::string>& args,
                     const std::string& faults = "-", const std::vector<std::string>& env_extra = {}) {
        std::vector<std::string> env = {"MIVRA_CA_FILE=" + server->ca_file(), "HF_ENDPOINT=" + endpoint(faults),
                                        "HOME=" + tmp.path.string(), "PATH=/usr/bin:/bin"};
        env.insert(env.end(), env_extra.begin(), env_extra.end());
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_child(argv, env);
    }
    // pull_driver's pull command (no waits between attempts).
    child_result pull(std::vector<std::string> args, const std::string& faults = "-",
                      const std::vector<std::string>& env_extra = {}) {
        args.insert(args.begin(), "pull");
        return run(driver_program, args, faults, env_extra);
    }

    // The requests the imitation has seen so far, one object each: where ("api", "resolve", "cdn"), host, path,
    // range, auth.
    std::vector<json> requests() const {
        std::vector<json> out;
        std::ifstream in(hub() / "requests.log");
        for (std::string line; std::getline(in, line);) out.push_back(json::parse(line));
        return out;
    }
    // The requests for one file of the repo (resolve and CDN).
    std::vector<json> file_requests(const std::string& name) const {
        std::vector<json> out;
        for (const json& r : requests()) {
            if (r["where"] != "api" && ends_with(r["path"].get<std::string>(), "/" + name)) out.push_back(r);
        }
        return out;
    }

    // The names in the pack folder.
    std::vector<std::string> pack_names() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(pack())) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static inline https_test_server* server = nullptr;
    temp_folder tmp;
};

}  // namespace pull_test
