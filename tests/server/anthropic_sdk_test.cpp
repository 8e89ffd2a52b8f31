// The official Anthropic client for Node (@anthropic-ai/sdk, pinned in tests/server/package-lock.json) against the
// scripted test server. The client is installed with `npm ci` into the build folder (tests/server/node) on first use.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "fixtures/test_support.h"
#include "node_clients.h"
#include "serve_process.h"

namespace {

const std::string node_dir = MIVRA_SERVER_NODE_DIR;

void run_scenario(const std::string& scenario) {
    install_node_clients();
    serve_process server(serve_options{});
    const child_result r = run_child(
        "/usr/bin/env", {"node", node_dir + "/anthropic_sdk_client.mjs", server.url(), scenario}, scratch_dir());
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err << "\n--- server stderr ---\n" << server.err();
    EXPECT_EQ(r.out, "ok " + scenario + "\n");
}

}  // namespace

TEST(AnthropicSdk, CreateAndStreamGiveTheSameReply) { run_scenario("create_and_stream"); }
TEST(AnthropicSdk, CountTokens) { run_scenario("count_tokens"); }
TEST(AnthropicSdk, Errors) { run_scenario("errors"); }
TEST(AnthropicSdk, InvalidUtf8BecomesReplacementCharacters) { run_scenario("invalid_utf8"); }
