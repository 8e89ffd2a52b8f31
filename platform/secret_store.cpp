#include "platform/secret_store.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "platform/folders.h"

namespace {

constexpr size_t key_size = 32;
constexpr size_t nonce_size = 12;
constexpr size_t tag_size = 16;
constexpr unsigned char format_version = 1;
constexpr char associated_text[] = "Mivra";

using secret_key = std::array<unsigned char, key_size>;

std::mutex key_mutex;
std::string cached_path; // guarded by key_mutex
std::optional<secret_key> cached_key;

// Reads a key file: nullopt when it is missing (errno ENOENT) or unusable (any other errno, or a wrong size).
std::optional<secret_key> read_key_file(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    secret_key key{};
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(key_size);
    size_t got = 0;
    while (ok && got < key_size) {
        const ssize_t n = read(fd, key.data() + got, key_size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else got += static_cast<size_t>(n);
    }
    close(fd);
    if (!ok) {
        errno = EINVAL;
        return std::nullopt;
    }
    return key;
}

bool write_all(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Creates the key file unless one appears meanwhile; then reads whichever key is in place.
std::optional<secret_key> create_key_file(const std::filesystem::path& path) {
    if (!create_private_folders(path.parent_path())) return std::nullopt;
    secret_key key{};
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return std::nullopt;
    std::string temp = path.string() + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC); // mode 0600
    if (fd < 0) return std::nullopt;
    const bool written = fchmod(fd, 0600) == 0 && write_all(fd, key.data(), key.size()) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    bool placed = false;
    int place_error = EIO;
    if (written && closed) {
        // Never replaces an existing key: link() and RENAME_NOREPLACE both fail with EEXIST instead. The rename is
        // for file systems without hard links.
        placed = link(temp.c_str(), path.c_str()) == 0;
        if (!placed) place_error = errno;
        if (!placed && place_error != EEXIST) {
            placed = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
            if (!placed) place_error = errno;
        }
    }
    unlink(temp.c_str());
    if (!placed && place_error != EEXIST) return std::nullopt;
    return read_key_file(path.string()); // ours, or the one another process placed first
}

std::optional<secret_key> user_key(bool create) {
    const std::filesystem::path path = secret_key_path();
    std::lock_guard<std::mutex> lock(key_mutex);
    if (cached_key && cached_path == path.string()) return cached_key;
    std::optional<secret_key> key = read_key_file(path.string());
    if (!key && errno == ENOENT && create) key = create_key_file(path);
    if (key) {
        cached_path = path.string();
        cached_key = key;
    }
    return key;
}

struct cipher_context_deleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using cipher_context = std::unique_ptr<EVP_CIPHER_CTX, cipher_context_deleter>;

} // namespace

std::filesystem::path secret_key_path() { return config_folder_path() / "secret.key"; }

std::optional<std::string> seal_user_secret(std::string_view plain) {
    const std::optional<secret_key> key = user_key(true);
    if (!key || plain.size() > static_cast<size_t>(INT32_MAX) - 64) return std::nullopt;
    std::string sealed(1 + nonce_size + plain.size() + tag_size, '\0');
    auto* out = reinterpret_cast<unsigned char*>(sealed.data());
    out[0] = format_version;
    unsigned char* nonce = out + 1;
    unsigned char* body = nonce + nonce_size;
    if (RAND_bytes(nonce, nonce_size) != 1) return std::nullopt;
    cipher_context ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key->data(), nonce) != 1 ||
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(associated_text),
                          sizeof associated_text - 1) != 1 ||
        EVP_EncryptUpdate(ctx.get(), body, &n, reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), body + n, &n) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, tag_size, body + plain.size()) != 1) {
        return std::nullopt;
    }
    return sealed;
}

std::optional<std::string> open_user_secret(std::string_view sealed) {
    if (sealed.size() < 1 + nonce_size + tag_size || static_cast<unsigned char>(sealed[0]) != format_version ||
        sealed.size() > static_cast<size_t>(INT32_MAX)) {
        return std::nullopt;
    }
    const std::optional<secret_key> key = user_key(false);
    if (!key) return std::nullopt;
    const auto* in = reinterpret_cast<const unsigned char*>(sealed.data());
    const unsigned char* nonce = in + 1;
    const unsigned char* body = nonce + nonce_size;
    const size_t body_size = sealed.size() - 1 - nonce_size - tag_size;
    std::string plain(body_size, '\0');
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    std::array<unsigned char, tag_size> tag{};
    std::copy(body + body_size, body + body_size + tag_size, tag.begin());
    cipher_context ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key->data(), nonce) != 1 ||
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const unsigned char*>(associated_text),
                          sizeof associated_text - 1) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out, &n, body, static_cast<int>(body_size)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, tag_size, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out + n, &n) != 1) {
        return std::nullopt;
    }
    return plain;
}
