// The official Anthropic client for Node (@anthropic-ai/sdk, pinned in tests/server/package-lock.json) against the
// scripted test server. The client is installed into tests/server/node_modules with `npm ci` on first use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "fixtures/test_support.h"
#include "serve_process.h"

namespace {

const std::string test_dir = MIVRA_SERVER_TEST_DIR;

bool client_installed() {
    std::ifstream in(test_dir + "/node_modules/@anthropic-ai/sdk/package.json");
    std::stringstream s;
    s << in.rdbuf();
    return s.str().find("\"version\": \"1.19.0\"") != std::string::npos;
}

// Installs the pinned clients once; test processes running at the same time wait for each other on a lock file
// (the same one as the OpenAI client's tests).
void install_client() {
    const std::string lock_path = bin_dir() + "/../server-test-npm.lock";
    const int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    if (!client_installed()) {
        const child_result r = run_child("/bin/sh", {"-c", "cd '" + test_dir + "' && npm ci --no-audit --no-fund"},
                                         scratch_dir());
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    flock(fd, LOCK_UN);
    close(fd);
    ASSERT_TRUE(client_installed()) << "npm ci did not install @anthropic-ai/sdk 1.19.0";
}

void run_scenario(const std::string& scenario) {
    install_client();
    serve_process server(serve_options{});
    const child_result r = run_child(
        "/usr/bin/env", {"node", test_dir + "/anthropic_sdk_client.mjs", server.url(), scenario}, scratch_dir());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err << "\n--- server stderr ---\n" << server.err();
    EXPECT_EQ(r.out, "ok " + scenario + "\n");
}

}  // namespace

TEST(AnthropicSdk, CreateAndStreamGiveTheSameReply) { run_scenario("create_and_stream"); }
TEST(AnthropicSdk, CountTokens) { run_scenario("count_tokens"); }
TEST(AnthropicSdk, Errors) { run_scenario("errors"); }
