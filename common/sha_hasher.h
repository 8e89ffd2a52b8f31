// SHA-256 and SHA-1 digests over OpenSSL, for the download checks of pull (the Hub publishes SHA-256 for files in
// Git LFS and Git blob ids, SHA-1, for the others). One hasher is used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>

enum class sha_algorithm { sha256, sha1 };

class sha_hasher {
public:
    // Throws std::runtime_error "OpenSSL hash init failed" when no digest context can be made.
    explicit sha_hasher(sha_algorithm algorithm);
    ~sha_hasher();
    sha_hasher(const sha_hasher&) = delete;
    sha_hasher& operator=(const sha_hasher&) = delete;

    void update(const void* data, size_t size);
    // Finishes the digest: lower-case hexadecimal, 64 characters for SHA-256, 40 for SHA-1. Call once.
    std::string finish_hex();

private:
    void* context_ = nullptr; // EVP_MD_CTX
};

// Finishes the digest of `hasher` (the name the pull code uses).
inline std::string hash_finish_hex(sha_hasher& hasher) { return hasher.finish_hex(); }
