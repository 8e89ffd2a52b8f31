// `mivra start --gui` as the launcher drives it, in the runs that end before a server would start: quitting, the
// end of input, a failed download, no model to offer, and packs found in the user's folders.
#include "start_fixture.h"

#include "distribution/launcher_events.h"
#include "distribution/model_links.h"

using namespace start_test;

namespace {

class StartLauncher : public StartTest {
protected:
    struct run_result {
        int exit_code;
        std::vector<std::string> lines;
        std::string err;
    };
    run_result run(const std::vector<std::string>& args, const std::string& input,
                   const std::vector<std::string>& extra_env = {}) {
        std::vector<std::string> argv = {mivra_program, "start", "--gui"};
        argv.insert(argv.end(), args.begin(), args.end());
        launcher_child child(argv, env(extra_env), err_file("launcher"));
        child.send(input);
        child.close_input();
        run_result r;
        r.lines = child.rest();
        r.exit_code = child.wait();
        r.err = child.err();
        return r;
    }
};

}  // namespace

TEST_F(StartLauncher, QuitEndOfInputAndAFailedDownload) {
    write_catalog({catalog_model("stt-alpha", "\xC3\x84lpha", {{"about", "Small."}, {"download_gb", 1.5}}),
                   catalog_model("stt-bravo", "Bravo", {{"recommended", true}, {"min_ram_gb", 8}})});
    const std::string models_line =
        R"({"items":[{"about":"Small.","default":false,"gb":1.5,"id":"stt-alpha","installed":false,"name":"Älpha",)"
        R"("ram":0.0,"ready":false,"recommended":false},{"about":"","default":true,"gb":0.0,"id":"stt-bravo",)"
        R"("installed":false,"name":"Bravo","ram":8.0,"ready":false,"recommended":true}],"too_new":[],)"
        R"("type":"models","version":"0.1"})";

    for (const char* input : {"quit\n", ""}) {
        const run_result r = run({}, input);
        EXPECT_EQ(r.exit_code, 0) << input << r.err;
        EXPECT_EQ(r.lines, std::vector<std::string>{models_line}) << input;
    }

    // "quit" with a CR is an unknown id: the preselected model is downloaded, which fails here (no Hub).
    const run_result r = run({}, "quit\r\n");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const std::vector<json> events = events_of(r.lines);
    ASSERT_EQ(types_of(events), (std::vector<std::string>{"models", "status", "error"})) << r.err;
    EXPECT_EQ(r.lines[1], json_line_text(gui_status_event("stt-bravo", "Downloading Bravo", true)));
    const std::string text = events[2]["text"];
    EXPECT_EQ(text.rfind("The download did not finish: request to 127.0.0.1 failed", 0), 0u) << text;
    EXPECT_TRUE(ends_with(text, ". Check your internet connection and free disk space, then try again; "
                                          "it continues where it stopped."))
        << text;
    EXPECT_NE(r.err.find("\nerror: "), std::string::npos) << r.err;  // the pull's own report, on stderr
    EXPECT_FALSE(fs::exists(models() / "last.txt"));
}

TEST_F(StartLauncher, NoModelForThisVersion) {
    write_catalog({catalog_model("stt-later", "Later", {{"min_mivra", "0.2"}})});
    const run_result r = run({}, "");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.lines, std::vector<std::string>{json_line_text(
                           gui_error_event("No models are available for this version of Mivra."))});

    // Once its folder holds a manifest it is an ordinary row.
    make_folder(models() / "stt-later", {{"manifest.json", pack_manifest}});
    const run_result installed = run({"--menu"}, "quit\n");
    EXPECT_EQ(installed.exit_code, 0) << installed.err;
    const std::vector<json> events = events_of(installed.lines);
    ASSERT_EQ(types_of(events), std::vector<std::string>{"models"});
    EXPECT_EQ(events[0]["items"][0]["id"], "stt-later");
    EXPECT_EQ(events[0]["items"][0]["ready"], true);
}

TEST_F(StartLauncher, PackFoundInTheUsersDownloadsFolder) {
    // The Downloads folder as the desktop names it, and a copy two levels below it.
    make_folder(home() / ".config", {{"user-dirs.dirs", "# written by xdg-user-dirs-update\n"
                                                         "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n"}});
    const fs::path copy = make_folder(home() / "Fetched" / "packs" / "STT_Alpha copy", {{"manifest.json", pack_manifest}});
    make_folder(home() / "Fetched" / "a" / "b" / "stt-bravo", {{"manifest.json", pack_manifest}});  // too deep
    write_catalog({catalog_model("stt-alpha", "Alpha"), catalog_model("stt-bravo", "Bravo")},
                  {{"mivra", {{"latest", "0.2"}}}});

    const run_result first = run({"--menu"}, "quit\n");
    EXPECT_EQ(first.exit_code, 0) << first.err;
    const std::vector<json> events = events_of(first.lines);
    ASSERT_EQ(types_of(events), (std::vector<std::string>{"note", "note", "models"})) << first.err;
    EXPECT_EQ(events[0]["text"], "Mivra 0.2 is available (you have 0.1). Download it from the Mivra website.");
    EXPECT_EQ(events[1]["text"], "Found Alpha already on this PC (" + copy.string() +
                                     "). Mivra uses it from there; nothing is downloaded.");
    EXPECT_EQ(events[2]["items"][0]["id"], "stt-alpha");
    EXPECT_EQ(events[2]["items"][0]["ready"], true);
    EXPECT_EQ(events[2]["items"][1]["installed"], false);
    EXPECT_EQ(read_links(models()), (model_links{{"stt-alpha", copy.string()}}));

    // The next start uses the link; the copy is not announced again.
    const run_result second = run({"--menu"}, "quit\n");
    EXPECT_EQ(types_of(events_of(second.lines)), (std::vector<std::string>{"note", "models"}));
}
