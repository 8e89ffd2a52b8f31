// The built-in chat page in headless Chromium (Debian's chromium, driven by playwright-core through
// chat_page_browser.mjs) against a real `mivra-test-server`, whose scripted engine gives known answers. The script
// reports what the page showed and sent; the checks are here. Screenshots go to the test output folder
// (build/test-output/agent) for a reviewer to look at.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include <nlohmann/json.hpp>

#include "agent_user.h"
#include "fixtures/test_support.h"
#include "node_clients.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string node_dir = MIVRA_AGENT_NODE_DIR;
const fs::path documents = fs::path(MIVRA_SOURCE_DIR) / "tests/agent/fixtures/documents";
const std::regex stats_line(R"(\d+\.\d\d tok/s - \d+\.\d s)");
const std::string needs_local = "reading this kind of file needs Mivra on this PC (127.0.0.1)";

// The question of the screenshot's chat rides in an attached notes file, so the page shows only natural text.
const std::string notes_text =
    "Meeting notes, 10 December\n"
    "- The expert cache now keeps 60% of the experts in RAM.\n"
    "- Prefetching halved the stalls while experts load.\n"
    "- Next: try the low-bit copies on the laptop.\n"
    "[[script:<think>The user wants their notes in three points: the cache, the prefetching and the next "
    "step.</think>Here is a summary of your notes:\n\n"
    "1. The expert cache now keeps 60% of the experts in memory.\n"
    "2. Prefetching halved the stalls while experts load.\n"
    "3. Next step: try the low-bit copies on the laptop.]]\n";

fs::path output_folder() {
    const fs::path folder = MIVRA_AGENT_TEST_OUTPUT;
    fs::create_directories(folder);
    return folder;
}

class ChatPageBrowser : public ::testing::Test {
protected:
    static void SetUpTestSuite() { install_node_packages(node_dir, {{"playwright-core", "1.65.2"}}); }
    void SetUp() override {
        ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "Debian's chromium is missing (scripts/deps.sh installs it)";
    }

    serve_options options(const std::vector<std::string>& extra_args = {}) const {
        serve_options o = user.options(extra_args);
        o.program = "mivra-test-server";
        return o;
    }
    // Runs one scenario of chat_page_browser.mjs and returns its findings (null after a failure, reported).
    json drive(const std::string& scenario, const serve_process& server, const std::vector<std::string>& files) {
        std::vector<std::string> args = {"node", node_dir + "/chat_page_browser.mjs", scenario, server.url(),
                                         output_folder().string()};
        args.insert(args.end(), files.begin(), files.end());
        const child_result r = run_child("/usr/bin/env", args, scratch_dir());
        EXPECT_EQ(r.exit_code, 0) << r.err << "\nserver:\n" << server.err();
        if (r.exit_code != 0) return nullptr;
        json findings = json::parse(r.out);
        EXPECT_EQ(findings["pageErrors"], json::array());
        return findings;
    }

    agent_user user;
};

TEST_F(ChatPageBrowser, OnThisPCThePageStreamsStoresAndShowsEveryTextAsText) {
    write_text(user.dir / "notes.md", notes_text);
    std::string long_text;
    while (long_text.size() < 100000) long_text += "0123456789";
    write_text(user.dir / "long.txt", long_text);
    // Without draft tokens the answer arrives token by token, as it would from a real model.
    serve_process server(options({"--draft", "0"}));

    const json f = drive("local", server, {(user.dir / "notes.md").string(), (user.dir / "long.txt").string()});
    ASSERT_FALSE(f.is_null());

    EXPECT_TRUE(std::regex_match(f["token"].get<std::string>(), std::regex("[0-9a-f]{32}"))) << f["token"];
    ASSERT_EQ(f["models"].size(), 1u);
    const std::string model = f["models"][0];
    EXPECT_EQ(f["status"], "ready");
    EXPECT_EQ(f["days"], json({"Today", "Yesterday", "This week", "This month"}));
    EXPECT_EQ(f["empty"], "What can I help with?Your chats are saved in this browser. Start a new one any time.");

    // The screenshot's chat: a notes card, the reasoning apart from the answer, the statistics line.
    EXPECT_EQ(f["notesCard"][0]["sub"], std::to_string(notes_text.size()) + " B");
    EXPECT_EQ(f["summary"]["reasoning"],
              "The user wants their notes in three points: the cache, the prefetching and the next step.");
    EXPECT_EQ(f["summary"]["body"].get<std::string>().rfind("Here is a summary of your notes:\n\n1. The expert", 0), 0u);

    // "hi": the request, the answer with its statistics, the chat store, the reload.
    EXPECT_EQ(f["hiRequest"], json({{"model", model},
                                    {"messages", {{{"role", "user"}, {"content", "hi [[script:Hello there, friend.]]"}}}},
                                    {"stream", true},
                                    {"chat_template_kwargs", {{"enable_thinking", false}}},
                                    {"max_tokens", 48},
                                    {"temperature", 0.6}}));
    EXPECT_EQ(f["hi"]["body"], "Hello there, friend.");
    EXPECT_EQ(f["hi"]["model"], model);
    EXPECT_TRUE(std::regex_match(f["hi"]["stats"].get<std::string>(), stats_line)) << f["hi"];
    const json& stored = f["stored"];
    ASSERT_TRUE(stored.is_object()) << "the chat never reached the chat store";
    EXPECT_TRUE(std::regex_match(stored["id"].get<std::string>(), std::regex("[0-9a-z]{8}")));
    EXPECT_EQ(stored["title"], "hi [[script:Hello there, friend.]]");
    EXPECT_EQ(stored["model"], model);
    EXPECT_EQ(stored["messages"][1], json({{"role", "assistant"},
                                           {"model", model},
                                           {"content", "Hello there, friend."},
                                           {"stats", f["hi"]["stats"]}}));
    EXPECT_EQ(f["reloaded"]["title"], "hi [[script:Hello there, friend.]]");
    EXPECT_EQ(f["reloaded"]["answer"], "Hello there, friend.");
    EXPECT_EQ(f["reloaded"]["side"].size(), 6u) << f["reloaded"]["side"];  // two new chats and four of other days
    EXPECT_EQ(f["afterFocus"][0], "Made elsewhere");

    // A 100000-character text file, read in the browser, goes with its first 40000 characters and the cut mark.
    EXPECT_EQ(f["longCard"][0]["sub"], "98 KB");
    EXPECT_EQ(f["longRequest"], "[[script:Read it.]]\n\n<file name=\"long.txt\">\n" + long_text.substr(0, 40000) +
                                    "\n[... only the first 40000 of 100000 characters]\n</file>");
    EXPECT_EQ(f["longAnswer"]["error"], true);
    EXPECT_EQ(f["longAnswer"]["body"].get<std::string>().rfind("Error: prompt is ", 0), 0u) << f["longAnswer"];
    EXPECT_EQ(f["afterError"], json({"user:[[script:Rea", "user:again [[scri"}));
    EXPECT_EQ(f["errorsShown"], 1);

    // Reasoning shown apart, never sent back.
    EXPECT_EQ(f["thought"]["reasoning"], "pondering deeply");
    EXPECT_EQ(f["thought"]["body"], "The answer is 42.");
    EXPECT_EQ(f["thoughtOpen"], false);
    const json& next = f["afterThought"];
    EXPECT_EQ(next["chat_template_kwargs"]["enable_thinking"], true);
    ASSERT_EQ(next["messages"].size(), 3u) << next;
    EXPECT_EQ(next["messages"][1], json({{"role", "assistant"}, {"content", "The answer is 42."}}));

    // Markup in an answer is shown as text and runs nothing.
    EXPECT_EQ(f["markup"]["body"], "<img src=x onerror=\"window.pwned=1\"><script>window.pwned=2</script> done");
    EXPECT_TRUE(f["pwned"].is_null()) << f["pwned"];
    EXPECT_EQ(f["elements"], 0);

    EXPECT_EQ(f["renamed"], "Renamed chat");
    EXPECT_EQ(f["renamedStored"], true);
    for (const json& title : f["afterDelete"]) EXPECT_NE(title, "Renamed chat");
    EXPECT_EQ(f["deletedStored"], false);

    // Text files never went to the server; every agent request was one of the chat store's, of kind "simple".
    for (const json& url : f["agentRequests"]) {
        EXPECT_TRUE(std::regex_search(url.get<std::string>(), std::regex("/agent/(chats|chat|chat_delete)\\?kind=simple$")))
            << url;
    }

    // The chat store, read by this test: the chat of "hi" is there.
    std::unique_ptr<httplib::Client> client = server.client();
    const httplib::Result list =
        client->Get("/agent/chats?kind=simple", httplib::Headers{{"X-Mivra-Token", f["token"].get<std::string>()}});
    ASSERT_TRUE(list);
    const json listed = json::parse(list->body);
    bool found = false;
    for (const json& chat : listed["chats"]) found = found || chat["id"] == stored["id"];
    EXPECT_TRUE(found);
}

TEST_F(ChatPageBrowser, ServedOnAnotherAddressThePageNeverCallsTheAgentRoutes) {
    write_text(user.dir / "notes.txt", "Buy milk.\n");
    serve_process server(options({"--host", "0.0.0.0"}));

    const json f = drive("remote", server, {(documents / "report.docx").string(), (user.dir / "notes.txt").string()});
    ASSERT_FALSE(f.is_null());

    EXPECT_EQ(f["token"], "");
    ASSERT_EQ(f["cards"].size(), 2u);
    EXPECT_EQ(f["cards"][0]["sub"], "can't read this file");
    EXPECT_EQ(f["cards"][0]["tip"], needs_local);
    EXPECT_EQ(f["cards"][1]["sub"], "10 B");
    EXPECT_EQ(f["cards"][1]["tip"], "notes.txt");
    EXPECT_EQ(f["request"], "What do these say? [[script:Nothing I can read.]]\n\n[The user attached report.docx, "
                            "which could not be read: " + needs_local + "]\n\n<file name=\"notes.txt\">\nBuy milk.\n\n</file>");
    EXPECT_EQ(f["answer"]["body"], "Nothing I can read.");
    EXPECT_EQ(f["reloaded"], "Nothing I can read.");  // kept in the browser's storage
    EXPECT_EQ(f["agentRequests"], json::array());
}

TEST_F(ChatPageBrowser, StopKeepsWhatCameAndTwoChatsAnswerAtOnce) {
    serve_options o = options();
    o.n_parallel = 2;
    o.n_ctx = 8192;
    serve_process server(o);

    const json f = drive("streams", server, {});
    ASSERT_FALSE(f.is_null());

    EXPECT_EQ(f["dots"], json({"Answering", "Answering"}));
    EXPECT_EQ(f["stopShown"], true);
    EXPECT_EQ(f["fieldAfterEnter"], "");
    EXPECT_EQ(f["requestsAfterEnter"], 0);
    EXPECT_EQ(f["switchedTo"], true);
    EXPECT_EQ(f["stillGrowing"], true);

    EXPECT_EQ(f["stopped"]["body"].get<std::string>().rfind("tick", 0), 0u) << f["stopped"];
    EXPECT_EQ(f["stopped"]["error"], false);
    EXPECT_TRUE(std::regex_match(f["stopped"]["stats"].get<std::string>(), stats_line)) << f["stopped"];
    EXPECT_EQ(f["stoppedMessages"], json::parse(R"([{"role":"user","error":false},{"role":"assistant","error":false}])"));
    EXPECT_EQ(f["dotsAfterStop"], 1);
    EXPECT_EQ(f["secondStopped"]["body"].get<std::string>().rfind("tock", 0), 0u) << f["secondStopped"];
    EXPECT_EQ(f["secondStopped"]["error"], false);
}

TEST_F(ChatPageBrowser, DocumentsAndPicturesAreReadByTheServer) {
    write_text(user.dir / "notes.txt", "Buy milk.\n");
    serve_process server(options());

    const json f = drive("documents", server, {(documents / "report.docx").string(),
                                               (documents / "words.png").string(), (user.dir / "notes.txt").string()});
    ASSERT_FALSE(f.is_null());

    EXPECT_EQ(f["extracts"], json({"?name=report.docx", "?name=words.png"}));  // the text file stays in the browser
    ASSERT_EQ(f["cards"].size(), 3u);
    EXPECT_EQ(f["cards"][0]["tile"], false);
    EXPECT_NE(f["cards"][0]["sub"], "can't read this file") << f["cards"][0];
    EXPECT_EQ(f["cards"][1]["tile"], true);
    EXPECT_EQ(f["cards"][1]["thumb"], "data:image/jpeg;base64,");
    const std::string request = f["request"];
    EXPECT_NE(request.find("\n\n<file name=\"report.docx\""), std::string::npos) << request;
    EXPECT_NE(request.find("\n\n<file name=\"words.png\" info=\""), std::string::npos) << request;
    EXPECT_EQ(request.find("could not be read"), std::string::npos) << request;
    EXPECT_EQ(f["tiles"], json({"data:image/jpeg;base64,"}));
}

TEST_F(ChatPageBrowser, StoredChatsAreCheckedSplitAndKeptNewestFirst) {
    serve_process server(options());

    const json f = drive("stored", server, {});
    ASSERT_FALSE(f.is_null());

    EXPECT_EQ(f["current"], "Channel form");  // the damaged entries before it were left out
    EXPECT_EQ(f["bots"], json::parse(R"([{"reasoning":"weighing it","body":"Final words"},
                                         {"reasoning":"never closed","body":""}])"));
    EXPECT_EQ(f["images"], 0);  // a picture address that is not a data address is dropped
    EXPECT_EQ(f["cards"], json({"far.png"}));
    EXPECT_EQ(f["request"], json({"q [[script:ok]]", "Final words", "see\n\n<file name=\"far.png\">\n\n</file>", "",
                               "next [[script:ok]]"}));
    // The storage takes 10 chats: the newest ones, this chat first.
    ASSERT_EQ(f["stored"].size(), 10u) << f["stored"];
    EXPECT_EQ(f["stored"][0], "channel");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(f["stored"][i + 1], "many" + std::to_string(i));
    EXPECT_EQ(f["outside"], json::array());
}

}  // namespace
