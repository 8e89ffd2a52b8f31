// `mivra start --gui` driven as the launcher drives it until the server answers on port 8080: a pack downloaded
// from the imitation of the Hub and served, a second start while it serves, an update found on the next start, and
// folders picked by the user. These tests bind port 8080 and hold its lock.
#include "start_fixture.h"

#include <cstdlib>

#include "child_process.h"
#include "common/https_server.h"
#include "distribution/download_file.h"
#include "distribution/launcher_events.h"
#include "distribution/model_links.h"
#include "fixtures/fixture_cache.h"
#include "httplib.h"

extern char** environ;

using namespace start_test;

namespace {

// A real pack (the fixture MoE model, packed by `mivra pack`), made once per test program (fixtures/fixture_cache.h).
// The tests copy it and never change it.
const fs::path& fixture_pack() {
    static const fs::path pack = [] {
        const std::string make_model = std::string(MIVRA_BIN_DIR) + "/mivra-make-model";
        return cached_fixture(
            "tiny-pack-" + program_stamp(make_model) + "-" + program_stamp(mivra_program), [&](const fs::path& out) {
                std::vector<std::string> own_env;
                for (char** e = environ; *e; ++e) own_env.push_back(*e);
                const std::string gguf = out.string() + ".gguf";
                child_result r = run_child({make_model, "--arch", "qwen3moe", "--seed", "1", "--out", gguf}, own_env);
                const bool model_made = r.exit_code == 0;
                if (model_made) r = run_child({mivra_program, "pack", gguf, out.string()}, own_env);
                std::error_code ec;
                fs::remove(gguf, ec);
                if (r.exit_code != 0) {
                    const std::string step = model_made ? "mivra pack" : "mivra-make-model";
                    throw std::runtime_error(step + " failed: " + r.err);
                }
            });
    }();
    return pack;
}

bool health_ok() {
    httplib::Client client("127.0.0.1", 8080);
    client.set_connection_timeout(1, 0);
    client.set_read_timeout(2, 0);
    const httplib::Result res = client.Get("/health");
    return res && res->status == 200 && res->body == R"({"status":"ok"})";
}

class StartServe : public StartTest {
protected:
    static void SetUpTestSuite() {
        server = new https_test_server(std::string(MIVRA_SOURCE_DIR) + "/tests/distribution/hub_route.js");
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(port_free(8080, std::chrono::seconds(60))) << "port 8080 is taken"; }

    fs::path hub_repo() const { return tmp / "hub" / "o" / "stt-alpha-mivra" / "main"; }

    std::vector<std::string> hub_env() const {
        return env({"MIVRA_CA_FILE=" + server->ca_file(),
                    "HF_ENDPOINT=" + server->url("/hub/" + url_encode((tmp / "hub").string()) + "/-")});
    }

    // Reads events until (and with) the first one of `type`; fails the test when the output ends first.
    std::vector<json> events_until(launcher_child& child, const std::string& type) {
        std::vector<json> events;
        while (std::optional<std::string> line = child.next_line()) {
            events.push_back(events_of({*line})[0]);
            if (events.back().value("type", "") == type) return events;
        }
        ADD_FAILURE() << "no \"" << type << "\" event; stderr:\n" << child.err();
        return events;
    }

    // Waits until GET /health answers on 8080 while the child runs.
    testing::AssertionResult serving(launcher_child& child) {
        const auto deadline = clock_type::now() + std::chrono::seconds(120);
        while (clock_type::now() < deadline) {
            if (!child.running()) return testing::AssertionFailure() << "start ended: " << child.err();
            if (health_ok()) return testing::AssertionSuccess();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return testing::AssertionFailure() << "no /health answer on 8080: " << child.err();
    }

    static inline https_test_server* server = nullptr;
};

// The types of a run's events with every run of "progress" events shown once.
std::vector<std::string> squeezed_types(const std::vector<json>& events) {
    std::vector<std::string> types;
    for (const std::string& t : types_of(events)) {
        if (t != "progress" || types.empty() || types.back() != "progress") types.push_back(t);
    }
    return types;
}

}  // namespace

TEST_F(StartServe, DownloadsFromTheHubServesAndUpdatesOnTheNextStart) {
    const std::string name = "\xC3\x84lpha Tiny";  // raw UTF-8 on the wire
    write_catalog({catalog_model("stt-alpha", name, {{"download_gb", 0.03}}),
                   catalog_model("stt-bravo", "Bravo", {{"recommended", true}})});
    uint64_t pack_bytes = 0;
    fs::create_directories(hub_repo());
    for (const char* file : {"manifest.json", "core.gguf", "experts.bin"}) {
        fs::copy_file(fixture_pack() / file, hub_repo() / file);
        pack_bytes += fs::file_size(hub_repo() / file);
    }
    write_text(hub_repo() / "README.md", "# tiny\n");
    pack_bytes += 7;

    {
        launcher_child child({mivra_program, "start", "--gui"}, hub_env(), err_file("first"));
        const std::vector<json> offered = events_until(child, "models");
        ASSERT_EQ(types_of(offered), std::vector<std::string>{"models"});
        EXPECT_EQ(offered[0]["items"][1]["default"], true);
        child.send("stt-alpha\r\n");  // as a CR LF writer sends it
        const std::vector<json> events = events_until(child, "starting");
        ASSERT_EQ(squeezed_types(events), (std::vector<std::string>{"status", "download", "progress", "starting"}));
        EXPECT_EQ(json_line_text(events.front()), json_line_text(gui_status_event("stt-alpha", "Downloading " + name, true)));
        EXPECT_EQ(events[1]["files"], 4);
        EXPECT_EQ(events[1]["need"], pack_bytes);
        const json& last_progress = events[events.size() - 2];
        EXPECT_EQ(last_progress["all_done"], pack_bytes);
        EXPECT_EQ(last_progress["all_total"], pack_bytes);
        EXPECT_GE(events.size(), 7u);  // a progress event at least once per file
        EXPECT_EQ(json_line_text(events.back()), json_line_text(gui_starting_event("stt-alpha", name)));
        ASSERT_TRUE(serving(child));

        // A second start at the console finds it running and leaves it alone.
        const child_result second = run_child({mivra_program, "start"}, hub_env());
        EXPECT_EQ(second.exit_code, 0) << second.err;
        EXPECT_EQ(second.out, "\n  Mivra 0.1 - AI models on your own PC\n  ------------------------------------\n\n"
                              "  Mivra is already running: http://127.0.0.1:8080\n"
                              "\n  To stop it: close its window, use the Mivra icon in the system tray, or run:\n"
                              "      pkill -x mivra\n\n");
        EXPECT_EQ(child.stop(), 0);
        EXPECT_EQ(child.rest(std::chrono::seconds(5)), std::vector<std::string>{});
    }
    EXPECT_EQ(read_text(models() / "last.txt"), "stt-alpha\r\n");
    EXPECT_TRUE(fs::exists(models() / "stt-alpha" / ".mivra-pull.json"));

    // The Hub has a new README: last.txt names a ready pack, so the launcher is not asked; the pack is updated.
    write_text(hub_repo() / "README.md", "# tiny, second edition\n");
    {
        launcher_child child({mivra_program, "start", "--gui"}, hub_env(), err_file("second"));
        const std::vector<json> events = events_until(child, "starting");
        ASSERT_EQ(squeezed_types(events),
                  (std::vector<std::string>{"models", "auto", "status", "download", "progress", "starting"}));
        EXPECT_EQ(events[0]["items"][0]["default"], true);
        EXPECT_EQ(json_line_text(events[1]), json_line_text(gui_auto_event("stt-alpha")));
        EXPECT_EQ(json_line_text(events[2]),
                  json_line_text(gui_status_event("stt-alpha", "Checking " + name + " for updates", false)));
        EXPECT_EQ(events[3]["files"], 1);
        EXPECT_EQ(events[3]["need"], 23);
        ASSERT_TRUE(serving(child));
        EXPECT_EQ(child.stop(), 0);
    }
    EXPECT_EQ(read_text(models() / "stt-alpha" / "README.md"), "# tiny, second edition\n");
}

TEST_F(StartServe, LocateAnUnfinishedFolderThenAGoodOne) {
    write_catalog({catalog_model("stt-alpha", "Alpha"), catalog_model("stt-bravo", "Bravo")});
    const fs::path half = make_folder(tmp / "half", {{"manifest.json", pack_manifest}, {"experts.bin.part", ""}});
    const fs::path good = tmp / "my stt-bravo";
    fs::copy(fixture_pack(), good);

    launcher_child child({mivra_program, "start", "--gui"}, env(), err_file("locate"));
    ASSERT_EQ(types_of(events_until(child, "models")), std::vector<std::string>{"models"});
    child.send("locate stt-bravo\t" + half.string() + "\n");
    std::optional<std::string> line = child.next_line();
    ASSERT_TRUE(line) << child.err();
    EXPECT_EQ(*line, json_line_text(gui_located_event(false, "stt-bravo", "the download in that folder is not finished")));
    EXPECT_FALSE(fs::exists(models() / "links.json"));

    child.send("locate stt-bravo\t" + good.string() + "\n");
    const std::vector<json> events = events_until(child, "starting");
    ASSERT_EQ(types_of(events), (std::vector<std::string>{"located", "note", "starting"}));
    EXPECT_EQ(json_line_text(events[0]), json_line_text(gui_located_event(true, "stt-bravo", "Using the copy in " + good.string())));
    EXPECT_EQ(events[1]["text"], "Using Bravo from " + good.string() + ".");
    EXPECT_EQ(read_links(models()), (model_links{{"stt-bravo", good.string()}}));
    ASSERT_TRUE(serving(child));
    EXPECT_EQ(child.stop(), 0);
    EXPECT_EQ(read_text(models() / "last.txt"), "stt-bravo\r\n");
}

TEST_F(StartServe, ServerThatCannotStartEndsTheRunWithAnError) {
    // A ready copy named by last.txt that the server cannot open: auto, the local copy, starting, then the error.
    write_catalog({catalog_model("stt-alpha", "Alpha"), catalog_model("stt-bravo", "Bravo")});
    make_folder(models() / "stt-alpha", {{"manifest.json", pack_manifest}});
    write_text(models() / "last.txt", "stt-alpha\n");
    launcher_child child({mivra_program, "start", "--gui"}, env(), err_file("broken"));
    const std::vector<json> events = events_of(child.rest());
    EXPECT_EQ(child.wait(), 1);
    ASSERT_EQ(types_of(events), (std::vector<std::string>{"models", "auto", "note", "starting", "error"})) << child.err();
    EXPECT_EQ(events[4]["text"], "Mivra could not start the model. If Mivra is already running, close it from its tray "
                                 "icon or with System Monitor, then try again.");
    EXPECT_NE(child.err().find("error: "), std::string::npos);
}

TEST_F(StartServe, ConsoleStartsTheOnlyReadyModelAndOpensTheBrowser) {
    write_catalog({catalog_model("stt-alpha", "Alpha")});
    fs::create_directories(models());
    fs::copy(fixture_pack(), models() / "stt-alpha");
    // An xdg-open of this test's own records every address it is given.
    const fs::path opened = tmp / "opened.txt";
    make_folder(tmp / "bin", {{"xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + opened.string() + "\"\n"}});
    fs::permissions(tmp / "bin" / "xdg-open", fs::perms::owner_all);
    std::vector<std::string> browser_env = env({"PATH=" + (tmp / "bin").string() + ":/usr/bin:/bin"});
    std::erase(browser_env, "MIVRA_NO_BROWSER=1");
    const auto opened_lines = [&](size_t n) {
        std::string text = read_text(opened);
        for (int i = 0; i < 300 && static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            text = read_text(opened);
        }
        return text;
    };

    launcher_child child({mivra_program, "start"}, browser_env, err_file("console"));
    std::string out;
    while (std::optional<std::string> line = child.next_line()) {
        out += *line + "\n";
        if (*line == "  Keep this window open while you chat. Close it to stop Mivra.") break;
    }
    const std::string folder = (models() / "stt-alpha").string();
    EXPECT_EQ(out, "\n  Mivra 0.1 - AI models on your own PC\n  ------------------------------------\n\n"
                   "  Checking the list of models...\n"
                   "\n  Using Alpha from " + folder + ".\n"
                   "\n  Starting Alpha. Your browser opens the chat page when it is ready (about a minute).\n"
                   "  Keep this window open while you chat. Close it to stop Mivra.\n") << child.err();
    ASSERT_TRUE(serving(child));
    EXPECT_EQ(opened_lines(1), "http://127.0.0.1:8080\n");

    const child_result second = run_child({mivra_program, "start"}, browser_env);
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_NE(second.out.find("  Mivra is already running: http://127.0.0.1:8080\n  Opening it in your browser.\n"),
              std::string::npos)
        << second.out;
    EXPECT_EQ(opened_lines(2), "http://127.0.0.1:8080\nhttp://127.0.0.1:8080\n");
    EXPECT_EQ(child.stop(), 0);
}
