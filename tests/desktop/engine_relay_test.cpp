// The engine process and its relay, in this process: the stand-in engine copied as `mivra` into a folder that
// stands for the launcher's folder, the real reader and poller threads, GLib's main context pumped here as the UI
// thread, and a page that records what reaches it. No display is needed. The stand-in's server binds port 8080.
#include <gtest/gtest.h>

#include <glib.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "desktop/engine_process.h"
#include "desktop/engine_relay.h"
#include "desktop/launcher_state.h"
#include "desktop/page_messages.h"
#include "fixtures/temp_folder.h"
#include "platform/signals.h"
#include "stand_in.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace desktop_test;
using clock_type = std::chrono::steady_clock;

namespace {

const std::string hello = R"({"type":"hello"})";

std::vector<std::string> note_texts(const std::vector<std::string>& messages) {
    std::vector<std::string> texts;
    for (const std::string& m : messages) texts.push_back(json::parse(m).value("text", ""));
    return texts;
}

class EngineRelay : public testing::Test {
protected:
    void SetUp() override {
        ignore_sigpipe();
        launcher.launcher_folder = app();
        launcher.data_folder = tmp / "state";
        launcher.page.post = [this](const std::string& text) { page.push_back(text); };
        launcher.page.load_launcher_page = [this] { ++launcher_page_loads; };
        launcher.page.navigate = [this](const std::string& address) { navigations.push_back(address); };
    }

    void TearDown() override {
        stop_engine();
        pump_for(std::chrono::milliseconds(100));  // whatever was still queued is stale now and dropped
        launcher.page = {};
        launcher.page_ready = launcher.ready = launcher.external_server = launcher.quitting = false;
        launcher.pending_page_messages.clear();
    }

    fs::path app() const { return tmp / "app"; }

    // Runs the UI thread's work until `done` or the timeout. Records the longest single dispatch.
    template <class F>
    bool pump_until(F&& done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = clock_type::now() + timeout;
        while (!done()) {
            if (clock_type::now() >= deadline) return false;
            const auto start = clock_type::now();
            const bool dispatched = g_main_context_iteration(nullptr, FALSE);
            longest_dispatch = std::max(longest_dispatch, clock_type::now() - start);
            if (!dispatched) g_usleep(5000);
        }
        return true;
    }
    void pump_for(std::chrono::milliseconds time) {
        const auto end = clock_type::now() + time;
        pump_until([&] { return clock_type::now() >= end; }, time + std::chrono::seconds(1));
    }

    temp_folder tmp;
    std::vector<std::string> page;         // messages the page got, in order
    std::vector<std::string> navigations;  // addresses the view was sent to
    int launcher_page_loads = 0;
    clock_type::duration longest_dispatch{};
};

TEST_F(EngineRelay, LinesBeforeHelloAreQueuedAndFlushedInOrderAndTheExitCodeReachesThePage) {
    install_stand_in(app(), "lines");
    const uint32_t before = launcher.generation.load();
    start_engine(false);
    EXPECT_EQ(launcher.generation.load(), before + 2);
    ASSERT_TRUE(launcher.engine);

    // CR LF trimmed; plain text, a leading space, an array, empty lines, broken JSON and a non-string type dropped;
    // {} kept; a line written in two pieces arrives once, whole.
    const std::vector<std::string> expected = {R"({"type":"note","text":"one"})", R"({"type":"note","text":"two"})",
                                               "{}", R"({"type":"note","text":"split"})",
                                               R"({"type":"note","text":"three"})"};
    ASSERT_TRUE(pump_until([&] { return launcher.pending_page_messages.size() >= expected.size(); }));
    pump_for(std::chrono::milliseconds(300));
    EXPECT_EQ(std::vector<std::string>(launcher.pending_page_messages.begin(), launcher.pending_page_messages.end()),
              expected);
    EXPECT_TRUE(page.empty());

    on_page_message(hello);
    EXPECT_EQ(page, expected);
    EXPECT_TRUE(launcher.pending_page_messages.empty());

    // The engine reports an error and exits with code 3; its unfinished last line is not relayed.
    send_engine_choice("go");
    ASSERT_TRUE(pump_until([&] { return page.size() >= expected.size() + 2; }));
    pump_for(std::chrono::milliseconds(300));
    ASSERT_EQ(page.size(), expected.size() + 2);
    EXPECT_EQ(page[expected.size()], R"({"type":"error","text":"stand-in failed"})");
    const json exited = json::parse(page.back());
    EXPECT_EQ(exited, json({{"type", "exited"}, {"code", 3}, {"log", (tmp / "state" / "engine.log").string()}}));
    EXPECT_EQ(page.back(), exited_message(3));

    // Started as `mivra start --gui` in the launcher's folder, stderr in a private engine.log.
    const std::vector<json> starts = stand_in_records(app(), "start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["argv"], json({"start", "--gui"}));
    EXPECT_EQ(starts[0]["cwd"], app().string());
    EXPECT_EQ(starts[0]["pgid"], starts[0]["pid"]);
    EXPECT_EQ(read_text(tmp / "state" / "engine.log"), "stand-in diagnostics\n");
    struct stat info {};
    ASSERT_EQ(stat((tmp / "state" / "engine.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // An engine that ended by itself keeps its place: a reloaded page's "hello" starts nothing.
    on_page_message(hello);
    pump_for(std::chrono::milliseconds(300));
    EXPECT_EQ(stand_in_records(app(), "start").size(), 1u);
}

TEST_F(EngineRelay, MenuStartAsksForTheMenuAndTheLogStartsEmptyEachTime) {
    install_stand_in(app(), "echo");
    fs::create_directories(tmp / "state");
    write_text(tmp / "state" / "engine.log", "an older run's diagnostics that are much longer\n");
    start_engine(true);
    ASSERT_TRUE(wait_for(10, [&] { return !stand_in_records(app(), "start").empty(); }));
    EXPECT_EQ(stand_in_records(app(), "start")[0]["argv"], json({"start", "--gui", "--menu"}));
    EXPECT_TRUE(wait_for(5, [&] { return read_text(tmp / "state" / "engine.log") == "stand-in diagnostics\n"; }));
}

TEST_F(EngineRelay, StartingAndHealthNavigateToTheChatPageOnce) {
    install_stand_in(app(), "serve");
    launcher.page_ready = true;
    start_engine(false);
    ASSERT_TRUE(pump_until([&] { return !stand_in_records(app(), "listening").empty(); }));
    const auto listening = clock_type::now();
    ASSERT_TRUE(pump_until([&] { return !navigations.empty(); }, std::chrono::seconds(5)));
    EXPECT_LT(clock_type::now() - listening, std::chrono::seconds(2));
    EXPECT_TRUE(launcher.ready);

    // Both "starting" lines reached the page; the repeat neither blocked the UI thread nor started a second
    // navigation; the engine's lines after that reach nobody.
    pump_for(std::chrono::milliseconds(2500));
    const std::string starting = R"({"type":"starting","id":"stand-in","name":"Stand-in"})";
    EXPECT_EQ(page, (std::vector<std::string>{starting, starting}));
    EXPECT_EQ(navigations, std::vector<std::string>{"http://127.0.0.1:8080/"});
    EXPECT_TRUE(launcher.pending_page_messages.empty());
    EXPECT_LT(longest_dispatch, std::chrono::milliseconds(500));
    EXPECT_FALSE(stand_in_records(app(), "http").empty());
}

TEST_F(EngineRelay, StopEndsTheGroupAndReturnsWhileAnEscapedChildHoldsThePipe) {
    install_stand_in(app(), "family");
    launcher.page_ready = true;
    start_engine(false);
    ASSERT_TRUE(pump_until([&] { return !page.empty(); }));
    const std::vector<json> children = stand_in_records(app(), "child");
    ASSERT_EQ(children.size(), 2u);
    const pid_t engine = stand_in_records(app(), "start")[0]["pid"].get<pid_t>();
    const pid_t marked = children[0]["pid"].get<pid_t>();
    const pid_t escaped = children[1]["pid"].get<pid_t>();

    const auto start = clock_type::now();
    stop_engine();
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(6));
    EXPECT_TRUE(process_gone(engine));
    EXPECT_TRUE(wait_for(2, [&] { return process_gone(marked); }));
    EXPECT_FALSE(process_gone(escaped)) << "the escaped child should be out of the group's reach";
    EXPECT_FALSE(launcher.engine);
    EXPECT_FALSE(launcher.reader_thread.joinable());

    // A stopped engine's end is never reported.
    pump_for(std::chrono::milliseconds(300));
    EXPECT_EQ(page, std::vector<std::string>{R"({"type":"note","text":"family ready"})"});
    kill(escaped, SIGKILL);
}

TEST_F(EngineRelay, ANewEngineSilencesTheOldOneAtOnce) {
    install_stand_in(app(), "chatty");
    launcher.page_ready = true;
    start_engine(false);
    ASSERT_TRUE(pump_until([&] { return page.size() >= 3; }));
    const std::string old_pid = note_texts(page)[0];
    const uint32_t old_generation = launcher.generation.load();

    start_engine(false);  // as "retry" does
    EXPECT_EQ(launcher.generation.load(), old_generation + 2);
    const size_t before = page.size();
    ASSERT_TRUE(pump_until([&] { return page.size() >= before + 5; }));
    const std::vector<std::string> texts = note_texts(page);
    for (size_t i = before; i < texts.size(); ++i) EXPECT_NE(texts[i], old_pid) << "message " << i;
    EXPECT_TRUE(process_gone(std::stoi(old_pid)));
}

TEST_F(EngineRelay, AnEngineThatCannotStartGivesTheStartFailureText) {
    const std::string failure =
        R"({"text":"Could not start mivra. It must be in the same folder as Mivra Desktop.","type":"error"})";
    EXPECT_EQ(start_failure_message(), failure);
    launcher.page_ready = true;

    // No `mivra` at all, then one that is not executable: reported at once, and no engine is kept.
    fs::create_directories(app());
    start_engine(false);
    EXPECT_EQ(page, std::vector<std::string>{failure});
    EXPECT_FALSE(launcher.engine);
    write_text(app() / "mivra", "#!/bin/sh\n");
    fs::permissions(app() / "mivra", fs::perms::owner_read | fs::perms::owner_write);
    start_engine(false);
    EXPECT_EQ(page, (std::vector<std::string>{failure, failure}));
    EXPECT_FALSE(launcher.engine);

    // A log that cannot be opened does not keep the engine from starting.
    install_stand_in(app(), "echo");
    fs::remove(tmp / "state" / "engine.log");
    fs::create_directories(tmp / "state" / "engine.log");
    start_engine(false);
    EXPECT_TRUE(launcher.engine);
    EXPECT_TRUE(wait_for(10, [&] { return !stand_in_records(app(), "start").empty(); }));
    EXPECT_EQ(page.size(), 2u);
}

TEST_F(EngineRelay, CommandsHoldingControlCharactersNeverReachTheEngine) {
    install_stand_in(app(), "echo");
    start_engine(false);
    send_engine_choice("alpha");
    send_engine_choice("a\nquit");
    send_engine_choice("tab\there");
    send_engine_choice("cr\r");
    send_engine_choice("del\x7f");
    send_engine_locate("bravo", "/models/my folder/\xC3\xA9t\xC3\xA9");
    send_engine_locate("x\ny", "/f");
    send_engine_locate("c", "/f\nquit");
    send_engine_choice("end");
    ASSERT_TRUE(wait_for(10, [&] { return stand_in_records(app(), "stdin").size() >= 3; }));
    std::vector<std::string> lines;
    for (const json& r : stand_in_records(app(), "stdin")) lines.push_back(r["line"].get<std::string>());
    EXPECT_EQ(lines, (std::vector<std::string>{"alpha", "locate bravo\t/models/my folder/\xC3\xA9t\xC3\xA9", "end"}));
}

TEST_F(EngineRelay, PageSwitchesWithoutAProcess) {
    // Under the chat page an exit brings the launcher page back; the message waits for its "hello" (which starts
    // no engine here: a server that was already running is taken as the chat page's).
    launcher.external_server = true;
    launcher.ready = true;
    launcher.page_ready = true;
    on_engine_exited(-1073741819);
    EXPECT_EQ(launcher_page_loads, 1);
    EXPECT_FALSE(launcher.ready);
    EXPECT_TRUE(page.empty());
    ASSERT_EQ(launcher.pending_page_messages.size(), 1u);
    EXPECT_EQ(json::parse(launcher.pending_page_messages.front())["code"], -1073741819);
    on_page_message(R"({"type":"hello"})");
    EXPECT_EQ(page.size(), 1u);

    // Quitting: an exit is ignored. Without a web view nothing is queued.
    launcher.quitting = true;
    on_engine_exited(1);
    EXPECT_EQ(page.size(), 1u);
    launcher.quitting = false;
    launcher.page = {};
    launcher.page_ready = false;
    post_to_page("{}");
    EXPECT_TRUE(launcher.pending_page_messages.empty());

    // Lines are parsed: a non-object or a non-string type is dropped, an object is passed on unchanged.
    launcher.page.post = [this](const std::string& text) { page.push_back(text); };
    launcher.page_ready = true;
    for (const char* line : {"{not json", R"({"type":["starting"]})", "{\"type\":\"note\"} x"}) on_engine_line(line);
    on_engine_line(R"({ "type" : "note",  "text":"as written" })");
    EXPECT_EQ(page.back(), R"({ "type" : "note",  "text":"as written" })");
    EXPECT_EQ(page.size(), 2u);
}

TEST_F(EngineRelay, PageMessagesReachTheEngineOnlyWhenWellFormed) {
    install_stand_in(app(), "echo");
    launcher.page_ready = true;
    on_page_message(R"({"type":"choose","id":"alpha"})");  // no engine yet: nothing
    start_engine(false);
    std::vector<std::string> folders = {"/models/my folder/\xC3\xA9t\xC3\xA9", ""};
    launcher.page.choose_folder = [&] {
        const std::string folder = folders.front();
        folders.erase(folders.begin());
        return folder;
    };
    for (const char* message : {R"({"type":"choose","id":"alpha"})", R"({"type":"choose","id":7})",
                                R"({"type":"choose","id":null})", R"({"type":"locate","id":["beta"]})",
                                R"({"type":7,"id":"x"})", R"(["choose","x"])", R"({"type":"choose","id":"x")",
                                R"({"type":"Choose","id":"x"})", R"({"type":"locate","id":"beta"})",
                                R"({"type":"locate","id":"gamma"})", R"({"type":"choose"})",
                                R"({"type":"choose","id":"end"})"}) {
        on_page_message(message);
    }
    EXPECT_TRUE(folders.empty()) << "one dialog per well-formed locate";
    ASSERT_TRUE(wait_for(10, [&] { return stand_in_records(app(), "stdin").size() >= 4; }));
    std::vector<std::string> lines;
    for (const json& r : stand_in_records(app(), "stdin")) lines.push_back(r["line"].get<std::string>());
    EXPECT_EQ(lines, (std::vector<std::string>{"alpha", "locate beta\t/models/my folder/\xC3\xA9t\xC3\xA9", "",
                                               "end"}));

    // A folder chosen while another engine took over goes to neither.
    const uint32_t before = launcher.generation.load();
    launcher.page.choose_folder = [&] {
        start_engine(false);
        return std::string("/models/late");
    };
    on_page_message(R"({"type":"locate","id":"beta"})");
    EXPECT_EQ(launcher.generation.load(), before + 2);
    ASSERT_TRUE(wait_for(10, [&] { return stand_in_records(app(), "start").size() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (const json& r : stand_in_records(app(), "stdin")) EXPECT_NE(r["line"], "locate beta\t/models/late");
}

TEST_F(EngineRelay, RetryAndMenuReloadThePageAndStartAnotherEngine) {
    install_stand_in(app(), "echo");
    launcher.page_ready = true;
    on_page_message(R"({"type":"hello"})");
    ASSERT_TRUE(wait_for(10, [&] { return stand_in_records(app(), "start").size() == 1; }));
    on_page_message(R"({"type":"retry"})");
    EXPECT_EQ(launcher_page_loads, 1);
    EXPECT_FALSE(launcher.page_ready);
    ASSERT_TRUE(wait_for(10, [&] { return stand_in_records(app(), "start").size() == 2; }));
    on_page_message(R"({"type":"menu"})");
    EXPECT_EQ(launcher_page_loads, 2);
    ASSERT_TRUE(wait_for(10, [&] { return stand_in_records(app(), "start").size() == 3; }));
    const std::vector<json> starts = stand_in_records(app(), "start");
    EXPECT_EQ(starts[1]["argv"], json({"start", "--gui"}));
    EXPECT_EQ(starts[2]["argv"], json({"start", "--gui", "--menu"}));
    EXPECT_TRUE(wait_for(5, [&] { return process_gone(starts[1]["pid"].get<pid_t>()); }));
    // The reloaded page's hello starts no fourth engine.
    on_page_message(R"({"type":"hello"})");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(stand_in_records(app(), "start").size(), 3u);
}

}  // namespace
