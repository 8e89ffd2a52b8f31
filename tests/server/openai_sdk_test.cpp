// The official OpenAI client for Node (openai, pinned in tests/server/package-lock.json) against the scripted test
// server. The client is installed into tests/server/node_modules with `npm ci` on first use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fixtures/test_support.h"
#include "serve_process.h"

namespace {

const std::string test_dir = MIVRA_SERVER_TEST_DIR;

bool client_installed() {
    std::ifstream in(test_dir + "/node_modules/openai/package.json");
    std::stringstream s;
    s << in.rdbuf();
    return s.str().find("\"version\": \"6.30.1\"") != std::string::npos;
}

// Installs the pinned client once; test processes running at the same time wait for each other on a lock file.
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
    ASSERT_TRUE(client_installed()) << "npm ci did not install openai 6.30.1";
}

void run_scenario(const std::string& scenario) {
    install_client();
    serve_process server(serve_options{});
    const child_result r = run_child("/usr/bin/env", {"node", test_dir + "/sdk_client.mjs", server.url(), scenario},
                                     scratch_dir());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err << "\n--- server stderr ---\n" << server.err();
    EXPECT_EQ(r.out, "ok " + scenario + "\n");
}

}  // namespace

TEST(OpenaiSdk, Models) { run_scenario("models"); }
TEST(OpenaiSdk, PlainAndStreamedReplies) { run_scenario("plain_and_streamed"); }
TEST(OpenaiSdk, StreamedToolCall) { run_scenario("streamed_tool_call"); }
TEST(OpenaiSdk, ReasoningDeltas) { run_scenario("reasoning"); }
TEST(OpenaiSdk, Errors) { run_scenario("errors"); }
