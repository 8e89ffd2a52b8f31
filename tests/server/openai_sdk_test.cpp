// The official OpenAI client for Node (openai, pinned in tests/server/package-lock.json) against the scripted test
// server. The client is installed with `npm ci` into the build folder (tests/server/node) on first use.
#include <gtest/gtest.h>

#include <filesystem>
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
    const child_result r = run_child("/usr/bin/env", {"node", node_dir + "/sdk_client.mjs", server.url(), scenario},
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
TEST(OpenaiSdk, InvalidUtf8BecomesReplacementCharacters) { run_scenario("invalid_utf8"); }
