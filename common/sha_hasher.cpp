#include "common/sha_hasher.h"

#include <stdexcept>

#include <openssl/evp.h>

sha_hasher::sha_hasher(sha_algorithm algorithm) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const EVP_MD* md = algorithm == sha_algorithm::sha256 ? EVP_sha256() : EVP_sha1();
    if (!ctx || EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        throw std::runtime_error("OpenSSL hash init failed");
    }
    context_ = ctx;
}

sha_hasher::~sha_hasher() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

void sha_hasher::update(const void* data, size_t size) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size);
}

std::string sha_hasher::finish_hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &size);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}
