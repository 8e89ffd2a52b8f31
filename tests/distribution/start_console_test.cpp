// `mivra start` at a terminal (a pseudo-terminal): the banner, the PATH note, the menu with its headings and rows,
// answers that are no row number, the end of input at the prompt, quitting, and the texts of a local copy that the
// server cannot open. These runs probe port 8080, so they share its lock with the serving tests.
#include "start_fixture.h"

using namespace start_test;

namespace {

const std::string banner = "\n  Mivra 0.1 - AI models on your own PC\n  ------------------------------------\n\n";
const std::string checking = "  Checking the list of models...\n";

std::string prompt(int default_number) {
    return "\n  Type a number and press Enter (just Enter = " + std::to_string(default_number) + ", q = quit): ";
}

// A menu row's number and name as printed ("    %zu  %-28s "), the name padded to 28 bytes.
std::string row_start(int number, const std::string& name) {
    return "    " + std::to_string(number) + "  " + name + std::string(name.size() < 28 ? 28 - name.size() : 0, ' ') + " ";
}

class StartConsole : public StartTest {
protected:
    void SetUp() override { ASSERT_TRUE(port_free(8080, std::chrono::seconds(60))) << "port 8080 is taken"; }
};

}  // namespace

TEST_F(StartConsole, MenuRepromptsAndTakesTheDefaultAtTheEndOfInput) {
    write_catalog({catalog_model("stt-alpha", "\xC3\x84lpha", {{"download_gb", 1.25}, {"min_ram_gb", 4},
                                                             {"about", "Small and quick."}}),
                   catalog_model("stt-bravo", "Bravo", {{"download_gb", 2}, {"recommended", true}}),
                   catalog_model("stt-charlie", "Charlie", {{"min_mivra", "0.2"}})});
    // Without MIVRA_NO_PATH the first start puts the program on the PATH (of this test's home) and says so.
    terminal_child child({mivra_program, "start"}, env({}, false), err_file("console"));
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(child.wait_for(prompt(2), round)) << child.transcript() << child.err();
        child.type(round == 1 ? "0\n" : round == 2 ? "3\n" : " 2x\n");
    }
    ASSERT_TRUE(child.wait_for(prompt(2), 4)) << child.transcript();
    child.end_input();
    EXPECT_EQ(child.finish(), 1) << child.err();

    const std::string again = "  Please type a number from 1 to 2." + prompt(2);
    EXPECT_EQ(child.transcript(),
              banner +
                  "  From now on you can start Mivra from any folder: open a new terminal and type  mivra start\n"
                  "  (undo with: mivra path off)\n\n" +
                  checking +
                  "\n  Choose a model to download\n" +
                  row_start(1, "\xC3\x84lpha") + "1.2 GB download, needs 4 GB memory\n"
                  "       Small and quick.\n" +
                  row_start(2, "Bravo") + "2.0 GB download  (recommended)\n"
                  "\n  Also available with a newer Mivra (download the latest version from the website):\n"
                  "       Charlie\n" +
                  prompt(2) + again + again + again +
                  "\n  Downloading Bravo (2.0 GB). This can take a while.\n"
                  "  If it stops, start Mivra again: it continues where it left off.\n\n"
                  "\n  The download did not finish. Check your internet connection and free disk space,\n"
                  "  then start Mivra again.\n");
    EXPECT_NE(child.err().find("\nerror: "), std::string::npos) << child.err();
    EXPECT_NE(read_text(home() / ".profile").find(MIVRA_BIN_DIR), std::string::npos);
}

TEST_F(StartConsole, InstalledModelsQuitAndALocalCopyThatCannotStart) {
    write_catalog({catalog_model("stt-alpha", "Alpha"), catalog_model("stt-bravo", "Bravo"),
                   catalog_model("stt-charlie", "Charlie", {{"download_gb", 3}})});
    make_folder(models() / "stt-alpha", {{"manifest.json", pack_manifest}});
    make_folder(models() / "stt-bravo", {{".mivra-pull.json", "{}"}, {"core.gguf.part", ""}});
    const fs::path own = make_folder(models() / "my-own-pack", {{"manifest.json", pack_manifest}});
    const std::string menu = "\n  Your models\n" + row_start(1, "Alpha") + "ready\n" + row_start(2, "Bravo") +
                             "download not finished\n" + row_start(3, "my-own-pack") + "ready\n" +
                             "\n  Download another model\n" + row_start(4, "Charlie") + "3.0 GB download\n";
    {
        terminal_child child({mivra_program, "start"}, env(), err_file("quit"));
        ASSERT_TRUE(child.wait_for(prompt(1))) << child.transcript() << child.err();
        child.type("q\n");
        EXPECT_EQ(child.finish(), 0);
        EXPECT_EQ(child.transcript(), banner + checking + menu + prompt(1));
    }
    {
        // A number among blanks and tabs; the pack was copied in by hand, so it is used as it is.
        terminal_child child({mivra_program, "start"}, env(), err_file("local"));
        ASSERT_TRUE(child.wait_for(prompt(1))) << child.transcript() << child.err();
        child.type(" \t3 \n");
        EXPECT_EQ(child.finish(), 1);
        EXPECT_EQ(child.transcript(),
                  banner + checking + menu + prompt(1) + "\n  Using my-own-pack from " + own.string() + ".\n" +
                      "\n  Starting my-own-pack. Your browser opens the chat page when it is ready (about a minute).\n"
                      "  Keep this window open while you chat. Close it to stop Mivra.\n\n"
                      "\n  Mivra could not start. If it is already running in another window, use that one:\n"
                      "  http://127.0.0.1:8080\n");
        EXPECT_NE(child.err().find("error: "), std::string::npos);
        EXPECT_EQ(read_text(models() / "last.txt"), "my-own-pack\r\n");
    }
    {
        // last.txt now sets the default.
        terminal_child child({mivra_program, "start"}, env(), err_file("default"));
        ASSERT_TRUE(child.wait_for(prompt(3))) << child.transcript() << child.err();
        child.type("Q\n");
        EXPECT_EQ(child.finish(), 0);
    }
}

TEST_F(StartConsole, NoModelForThisVersion) {
    write_catalog({catalog_model("stt-later", "Later", {{"min_mivra", "0.2"}})});
    terminal_child child({mivra_program, "start"}, env(), err_file("none"));
    EXPECT_EQ(child.finish(), 1);
    EXPECT_EQ(child.transcript(), banner + checking + "\n  No models are available for this version of Mivra.\n");
}
