#include "common/secret_strings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixtures/temp_folder.h"
#include "common/text_helpers.h"
#include "platform/secret_store.h"

namespace {

using namespace std::string_literals;

// Points the secret store at a fresh configuration folder for one test.
struct secret_home {
    temp_folder dir;
    secret_home() { use("a"); }
    ~secret_home() { unsetenv("XDG_CONFIG_HOME"); }
    void use(const std::string& name) { setenv("XDG_CONFIG_HOME", (dir.path / name).c_str(), 1); }
};

TEST(SecretStrings, RoundTripAndStoredForm) {
    secret_home home;
    for (const std::string& value : {"k"s, "sk-123456"s, "with\0zero"s, std::string(5000, 'z'), "Grüße ✓"s}) {
        const std::string stored = protect_secret(value);
        ASSERT_EQ(stored.compare(0, 6, "dpapi:"), 0);
        const std::string text = stored.substr(6);
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        const size_t pad = text.find('=');
        EXPECT_TRUE(pad == std::string::npos || text.find_first_not_of('=', pad) == std::string::npos) << text;
        EXPECT_EQ(unprotect_secret(stored), value);
        EXPECT_NE(protect_secret(value), stored); // a fresh nonce every time
    }
    EXPECT_EQ(protect_secret(""), "");
    EXPECT_EQ(protect_secret("dpapi:already"), "dpapi:already");
    EXPECT_EQ(unprotect_secret("plain value"), "plain value");
    EXPECT_EQ(unprotect_secret(""), "");

    struct stat key {};
    ASSERT_EQ(stat(secret_key_path().c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    EXPECT_EQ(key.st_size, 32);
    struct stat folder {};
    ASSERT_EQ(stat(secret_key_path().parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

TEST(SecretStrings, UnreadableSecretsAreAbsentNotEmptyValues) {
    secret_home home;
    const std::string stored = protect_secret("provider key");
    std::string tampered = base64_decode(stored.substr(6));
    tampered[tampered.size() / 2] ^= 1;
    const std::string bad[] = {"dpapi:", "dpapi:not a blob", "dpapi:" + base64_encode(tampered),
                               stored.substr(0, stored.size() - 8)};
    for (const std::string& value : bad) {
        EXPECT_EQ(unprotect_secret(value), "") << value;
        EXPECT_EQ(try_unprotect_secret(value), std::nullopt) << value;
    }
    // Another user (another key): absent, and reading it creates no key.
    home.use("b");
    EXPECT_EQ(try_unprotect_secret(stored), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(secret_key_path()));
    home.use("a");
    EXPECT_EQ(unprotect_secret(stored), "provider key");
}

TEST(SecretStrings, ADamagedKeyFileIsNeverReplaced) {
    secret_home home;
    std::filesystem::create_directories(secret_key_path().parent_path());
    write_text(secret_key_path(), "short");
    EXPECT_EQ(try_protect_secret("value"), std::nullopt);
    EXPECT_EQ(protect_secret("value"), ""); // never the plain text
    EXPECT_EQ(read_text(secret_key_path()), "short");
}

TEST(SecretStrings, ProcessesStartingTogetherShareOneKey) {
    secret_home home;
    constexpr int children = 8;
    int pipes[children][2];
    for (int i = 0; i < children; ++i) {
        ASSERT_EQ(pipe(pipes[i]), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const std::string stored = protect_secret("shared " + std::to_string(i));
            ssize_t ignored = write(pipes[i][1], stored.data(), stored.size());
            (void)ignored;
            _exit(0);
        }
        close(pipes[i][1]);
    }
    for (int i = 0; i < children; ++i) {
        std::string stored;
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipes[i][0], buffer, sizeof buffer)) > 0) stored.append(buffer, static_cast<size_t>(n));
        close(pipes[i][0]);
        EXPECT_EQ(unprotect_secret(stored), "shared " + std::to_string(i));
    }
    while (wait(nullptr) > 0) {
    }
}

} // namespace
