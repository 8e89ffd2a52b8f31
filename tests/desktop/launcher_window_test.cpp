// The whole launcher under a private Xvfb with openbox: a copy of mivra-desktop beside the stand-in engine (copied as
// `mivra`), or the real mivra-desktop beside the real `mivra` with a pack in its models folder. Windows are found and
// closed with the X tools, the page in the web view is read through WebKit's remote inspector, and screenshots are
// kept in the test output folder. The stand-in's server and the real server use port 8080.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/temp_folder.h"
#include "httplib.h"
#include "page_inspector.h"
#include "platform/child_process.h"
#include "stand_in.h"
#include "x_session.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace desktop_test;
using namespace std::chrono_literals;

namespace {

const std::string launcher_program = std::string(MIVRA_BIN_DIR) + "/mivra-desktop";
const std::string chat_address = "http://127.0.0.1:8080/";
const std::string start_failure = "Could not start mivra. It must be in the same folder as Mivra Desktop.";

// True once nothing listens on 127.0.0.1:8080 (a bind succeeds), waiting at most `seconds`.
bool port_8080_free(double seconds) {
    return wait_for(seconds, [] {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(8080);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(s);
        return ok;
    });
}

bool health_answers() {
    httplib::Client client("127.0.0.1", 8080);
    client.set_connection_timeout(1, 0);
    client.set_read_timeout(2, 0);
    const httplib::Result res = client.Get("/health");
    return res && res->status == 200;
}

class LauncherWindow : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(port_8080_free(60)) << "port 8080 is taken";
        fs::create_directories(tmp / "run");
        fs::permissions(tmp / "run", fs::perms::owner_all);
        x = std::make_unique<x_session>(tmp / "wm-home");
        inspector_port = free_local_port();
    }
    void TearDown() override {
        for (auto& run : runs) {
            if (run->valid()) run->kill_group(SIGKILL);
        }
        runs.clear();
        x.reset();
    }

    fs::path app() const { return tmp / "app"; }
    fs::path home() const { return tmp / "home"; }
    fs::path engine_log() const { return home() / ".local/state/Mivra/engine.log"; }

    // A copy of the launcher in app(), beside whatever install_stand_in put there.
    std::string copy_launcher() {
        fs::create_directories(app());
        fs::copy_file(launcher_program, app() / "mivra-desktop", fs::copy_options::overwrite_existing);
        return (app() / "mivra-desktop").string();
    }

    std::vector<std::string> env(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> e = {"HOME=" + home().string(),
                                      "PATH=/usr/local/bin:/usr/bin:/bin",
                                      "DISPLAY=" + x->display(),
                                      "XDG_RUNTIME_DIR=" + (tmp / "run").string(),
                                      "XDG_CONFIG_HOME=" + (home() / ".config").string(),
                                      "XDG_DATA_HOME=" + (home() / ".local/share").string(),
                                      "XDG_STATE_HOME=" + (home() / ".local/state").string(),
                                      "XDG_CACHE_HOME=" + (home() / ".cache").string(),
                                      "LANG=C.UTF-8",
                                      "NO_AT_BRIDGE=1",
                                      "WEBKIT_INSPECTOR_HTTP_SERVER=127.0.0.1:" + std::to_string(inspector_port)};
        e.insert(e.end(), extra.begin(), extra.end());
        return e;
    }

    // Starts a launcher; its output goes to a file named after `tag` in the test folder.
    child_process& start(const std::string& program, const std::vector<std::string>& args, const std::string& tag,
                         const std::vector<std::string>& extra_env = {}) {
        child_spec spec;
        spec.argv = {program};
        spec.argv.insert(spec.argv.end(), args.begin(), args.end());
        spec.env = env(extra_env);
        spec.working_folder = tmp.path.string();
        spec.out = child_stream::file_truncate((tmp / (tag + ".out")).string());
        spec.err = child_stream::same_as_stdout();
        spec.parent_death_signal = SIGKILL;
        runs.push_back(std::make_unique<child_process>(spawn_child(spec)));
        return *runs.back();
    }

    // The exit code of a launcher that should end within `seconds`; -1 when it does not.
    static int ended(child_process& run, std::chrono::milliseconds limit) {
        if (!run.wait_exit(limit)) return -1;
        return run.reap();
    }

    std::string output(const std::string& tag) const { return read_text(tmp / (tag + ".out")); }

    // The one visible launcher window, waiting up to 30 s for it.
    std::string the_window() {
        std::vector<std::string> windows;
        wait_for(30, [&] { return (windows = x->visible_windows("mivra-desktop")).size() == 1; });
        return windows.size() == 1 ? windows[0] : std::string();
    }

    std::string page_url() {
        const std::optional<inspected_page> page = inspect_page(inspector_port);
        return page ? page->url : std::string();
    }

    std::optional<std::string> page_text(const std::string& expression) {
        return evaluate_in_page(inspector_port, expression);
    }

    void close_window(const std::string& window) { EXPECT_EQ(x->tool({"wmctrl", "-i", "-c", window}).exit_code, 0); }

    temp_folder tmp;
    std::unique_ptr<x_session> x;
    int inspector_port = 0;
    std::vector<std::unique_ptr<child_process>> runs;
};

TEST_F(LauncherWindow, OneWindowPerUserAtItsSizeAndClosingEndsEverything) {
    install_stand_in(app(), "family");
    const std::string program = copy_launcher();
    child_process& first = start(program, {}, "first");
    const std::string window = the_window();
    ASSERT_FALSE(window.empty()) << output("first");
    EXPECT_EQ(x->window_info(window, "Width"), "1280");
    EXPECT_EQ(x->window_info(window, "Height"), "820");
    const int left = std::atoi(x->window_info(window, "Absolute upper-left X").c_str());
    EXPECT_NEAR(left + 640, 960, 20) << "centred on the 1920-pixel screen";
    EXPECT_EQ(x->tool({"xdotool", "getwindowname", window}).out, "Mivra\n");
    EXPECT_EQ(x->tool({"xprop", "-id", window, "WM_CLASS"}).out,
              "WM_CLASS(STRING) = \"mivra-desktop\", \"mivra-desktop\"\n");

    // The launcher page said hello and the engine started, once.
    ASSERT_TRUE(wait_for(30, [&] { return stand_in_records(app(), "child").size() == 2; })) << output("first");
    EXPECT_TRUE(wait_for(10, [&] {
        return page_text("document.querySelector('#v-wait.on h1').textContent + ' ' + location.href") ==
               "Getting ready about:blank";
    }));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(x->screenshot(window, test_output_folder() / "launcher-window.png", true));

    // It cannot be made smaller than 520 x 460.
    EXPECT_EQ(x->tool({"xdotool", "windowsize", "--sync", window, "300", "200"}).exit_code, 0);
    EXPECT_TRUE(wait_for(5, [&] { return x->window_info(window, "Width") == "520"; }));
    EXPECT_EQ(x->window_info(window, "Height"), "460");

    // Minimised, then started again: the second start ends at once with 0 and the first window comes back.
    EXPECT_EQ(x->tool({"xdotool", "windowminimize", "--sync", window}).exit_code, 0);
    EXPECT_TRUE(wait_for(10, [&] { return x->window_info(window, "Map State") != "IsViewable"; }));
    child_process& second = start(program, {}, "second");
    EXPECT_EQ(ended(second, 10s), 0) << output("second");
    EXPECT_TRUE(wait_for(10, [&] { return x->window_info(window, "Map State") == "IsViewable"; }));
    EXPECT_EQ(x->visible_windows("mivra-desktop"), std::vector<std::string>{window});
    EXPECT_EQ(stand_in_records(app(), "start").size(), 1u);
    EXPECT_EQ(output("second"), "");

    // Closing the window (no close prompt in this build) quits: the engine and what it started in its group end,
    // and the launcher exits with 0 although a child that left the group still holds the engine's output pipe.
    const pid_t engine = stand_in_records(app(), "start")[0]["pid"].get<pid_t>();
    const std::vector<json> children = stand_in_records(app(), "child");
    close_window(window);
    EXPECT_EQ(ended(first, 10s), 0) << output("first");
    EXPECT_TRUE(process_gone(engine));
    EXPECT_TRUE(wait_for(5, [&] { return process_gone(children[0]["pid"].get<pid_t>()); }));
    kill(children[1]["pid"].get<pid_t>(), SIGKILL);
}

TEST_F(LauncherWindow, TrayStartIsHiddenButStartsTheEngineAndTheSessionsEndStopsIt) {
    install_stand_in(app(), "family");
    const std::string program = copy_launcher();
    child_process& first = start(program, {"--trayish"}, "first");  // "--tray" anywhere in an argument
    ASSERT_TRUE(wait_for(30, [&] { return stand_in_records(app(), "child").size() == 2; })) << output("first");
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(x->visible_windows("mivra-desktop").empty());

    // A second start shows the hidden window.
    child_process& second = start(program, {}, "second");
    EXPECT_EQ(ended(second, 10s), 0) << output("second");
    const std::string window = the_window();
    ASSERT_FALSE(window.empty());
    EXPECT_EQ(x->window_info(window, "Width"), "1280");
    EXPECT_EQ(stand_in_records(app(), "start").size(), 1u);

    // The end of the session ends the launcher like its quit command: the engine's group goes with it.
    const pid_t engine = stand_in_records(app(), "start")[0]["pid"].get<pid_t>();
    const std::vector<json> children = stand_in_records(app(), "child");
    first.signal(SIGTERM);
    EXPECT_EQ(ended(first, 10s), 0) << output("first");
    EXPECT_TRUE(process_gone(engine));
    EXPECT_TRUE(wait_for(5, [&] { return process_gone(children[0]["pid"].get<pid_t>()); }));
    kill(children[1]["pid"].get<pid_t>(), SIGKILL);
}

TEST_F(LauncherWindow, StartingAndHealthShowTheChatPage) {
    install_stand_in(app(), "serve");
    child_process& run = start(copy_launcher(), {}, "serve");
    const std::string window = the_window();
    ASSERT_FALSE(window.empty()) << output("serve");
    ASSERT_TRUE(wait_for(30, [&] { return !stand_in_records(app(), "listening").empty(); })) << output("serve");
    ASSERT_TRUE(wait_for(10, [&] {
        const std::optional<inspected_page> page = inspect_page(inspector_port);
        return page && page->url == chat_address && page->title == "Stand-in chat";
    })) << output("serve");

    // The web view asked for the chat page within 2 s of the server listening.
    const int64_t listening = stand_in_records(app(), "listening")[0]["time"].get<int64_t>();
    int64_t page_asked = -1;
    for (const json& r : stand_in_records(app(), "http")) {
        if (r["path"] == "/" && page_asked < 0) page_asked = r["time"].get<int64_t>();
    }
    ASSERT_GE(page_asked, 0);
    EXPECT_LT(page_asked - listening, 2000);
    EXPECT_EQ(page_text("document.querySelector('h1').textContent"), "Stand-in chat page");
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(x->screenshot(window, test_output_folder() / "stand-in-chat-page.png"));

    close_window(window);
    EXPECT_EQ(ended(run, 10s), 0) << output("serve");
    EXPECT_TRUE(port_8080_free(5));
}

TEST_F(LauncherWindow, StartFailureAndUnexpectedExitShowOnTheLauncherPage) {
    const std::string program = copy_launcher();  // no `mivra` beside it
    {
        child_process& run = start(program, {}, "missing");
        const std::string window = the_window();
        ASSERT_FALSE(window.empty()) << output("missing");
        std::optional<std::string> text;
        EXPECT_TRUE(wait_for(20, [&] {
            text = page_text("document.getElementById('err-text').textContent");
            return text == start_failure;
        })) << text.value_or("(no page)");
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(x->screenshot(window, test_output_folder() / "start-failure.png"));
        close_window(window);
        EXPECT_EQ(ended(run, 10s), 0) << output("missing");
    }
    install_stand_in(app(), "exit3");
    {
        child_process& run = start(program, {}, "exit3");
        const std::string window = the_window();
        ASSERT_FALSE(window.empty()) << output("exit3");
        const std::string expected = "Mivra stopped unexpectedly. Details are in the log: " + engine_log().string();
        std::optional<std::string> text;
        EXPECT_TRUE(wait_for(20, [&] {
            text = page_text("document.getElementById('err-text').textContent");
            return text == expected;
        })) << text.value_or("(no page)");
        EXPECT_EQ(read_text(engine_log()), "stand-in diagnostics\n");
        close_window(window);
        EXPECT_EQ(ended(run, 10s), 0) << output("exit3");
    }
}

// A real pack (the fixture MoE model packed by `mivra pack`) in the models folder of the real `mivra`, which starts
// it by itself (the only ready model) and serves it; the launcher ends on the chat page of that server.
TEST_F(LauncherWindow, RealMivraEndsOnTheChatPageOfItsServer) {
    const fs::path models = tmp / "models";
    const std::vector<std::string> tool_env = {"PATH=/usr/bin:/bin", "HOME=" + home().string()};
    child_spec make;
    make.env = tool_env;
    make.err = child_stream::pipe();
    make.argv = {std::string(MIVRA_BIN_DIR) + "/mivra-make-model", "--arch", "qwen3moe", "--seed", "1", "--out",
                 (tmp / "tiny.gguf").string()};
    child_run_result made = run_to_end(make);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    make.argv = {std::string(MIVRA_BIN_DIR) + "/mivra", "pack", (tmp / "tiny.gguf").string(),
                 (models / "tiny-alpha").string()};
    made = run_to_end(make);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    write_text(tmp / "catalog.json",
               json({{"format", "mivra-catalog-1"},
                     {"models", {{{"id", "tiny-alpha"}, {"name", "Tiny Alpha"}, {"repo", "o/tiny-alpha-mivra"}}}}})
                   .dump());

    child_process& run = start(launcher_program, {}, "real",
                               {"MIVRA_MODELS_DIR=" + models.string(),
                                "MIVRA_CATALOG=" + (tmp / "catalog.json").string(), "MIVRA_NO_PATH=1",
                                "MIVRA_NO_BROWSER=1", "HF_ENDPOINT=https://127.0.0.1:9"});
    const std::string window = the_window();
    ASSERT_FALSE(window.empty()) << output("real");
    EXPECT_TRUE(wait_for(180, [&] { return page_url() == chat_address; }))
        << output("real") << read_text(engine_log());
    EXPECT_TRUE(health_answers());
    EXPECT_TRUE(wait_for(20, [&] {
        return page_text("location.href + ' ' + document.readyState") == chat_address + " complete";
    }));
    std::this_thread::sleep_for(1500ms);  // the new page's web process paints its first frame
    EXPECT_TRUE(x->screenshot(window, test_output_folder() / "real-chat-page.png"));

    close_window(window);
    EXPECT_EQ(ended(run, 15s), 0) << output("real");
    EXPECT_TRUE(port_8080_free(10));
}

}  // namespace
