// The launcher page's logic in headless Chromium: the page's two texts joined as the launcher joins them, WebKit's
// message handler stood in for by a recorder, and events replayed as the launcher delivers them (page_harness.mjs).
// All scenarios run in one browser; each check reads its own scenarios' results.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "desktop/launcher_page.h"
#include "fixtures/temp_folder.h"
#include "fixtures/test_support.h"
#include "node_clients.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string node_dir = MIVRA_DESKTOP_NODE_DIR;

json models_event() {
    return {{"type", "models"},
            {"version", "0.1"},
            {"too_new", json::array()},
            {"items",
             {{{"id", "alpha"}, {"name", "Alpha <b>"}, {"about", "Fast & small"}, {"gb", 12.34}, {"ram", 16},
               {"installed", true}, {"ready", true}, {"recommended", false}, {"default", true}},
              {{"id", "beta"}, {"name", "&lt;b&gt;"}, {"about", ""}, {"gb", 40}, {"ram", 0}, {"installed", true},
               {"ready", false}, {"recommended", true}, {"default", false}},
              {{"id", "gamma\"x"}, {"name", "Gamma"}, {"about", "<img src=x onerror=alert(1)>"}, {"gb", 5},
               {"ram", 48}, {"installed", false}, {"ready", false}, {"recommended", true}, {"default", false}}}}};
}

json progress(double done, double total, double rate, double all_done = 0, double all_total = 0) {
    return {{"type", "progress"}, {"file", "experts.bin"}, {"done", done}, {"total", total}, {"rate", rate},
            {"all_done", all_done}, {"all_total", all_total}};
}

json event(const json& e) { return {{"event", e}}; }

json scenarios() {
    const json all_views = {"choose-title", "models", "newer", "locate-msg", "dl-title", "dl-left", "dl-rate",
                            "load-title", "load-sub", "err-text", "notes"};
    json list = json::array();
    auto add = [&](const std::string& name, json steps, json extra = json::object()) {
        json s = {{"name", name}, {"steps", std::move(steps)}, {"read", all_views}};
        s.update(extra);
        list.push_back(std::move(s));
    };
    add("loaded", json::array());
    add("plain browser", json::array({{{"click", "body"}}}), {{"bridge", false}});
    add("models", {event(models_event())});
    json not_installed = models_event();
    for (json& item : not_installed["items"]) item["installed"] = item["ready"] = false;
    not_installed["too_new"] = {"Big One", "Huge <Two>"};
    add("nothing installed", {event(not_installed)});
    add("choose by click", {event(models_event()), {{"click", ".model[data-id=alpha] .name"}}});
    add("choose by key", {event(models_event()), {{"key", "Enter"}, {"on", ".model[data-id=alpha]"}}});
    add("locate link",
        {event(models_event()), event({{"type", "located"}, {"ok", false}, {"id", "beta"}, {"text", "unknown model"}}),
         {{"click", ".model[data-id=beta] .locate"}}});
    add("locate by key", {event(models_event()), {{"key", "Enter"}, {"on", ".model[data-id=beta] .locate"}}});
    add("located failure then choice",
        {event(models_event()),
         event({{"type", "located"}, {"ok", false}, {"id", "beta"}, {"text", "that folder has no Mivra model in it"}}),
         {{"click", ".model[data-id=gamma\\\"x]"}}});
    add("located ok", {event(models_event()), event({{"type", "located"}, {"ok", true}, {"text", "Using the copy"}})});
    add("big download", {event(progress(12.34e9, 20e9, 1e6))});
    add("small download", {event(progress(5e9, 10e9, 0))});
    add("forty seconds", {event(progress(0, 40e6, 1e6))});
    add("twenty seconds", {event(progress(0, 20e6, 1e6))});
    add("two hours ten", {event(progress(0, 7800e6, 1e6))});
    add("almost an hour", {event(progress(0, 3599e6, 1e6))});
    add("all files", {event(progress(1e9, 2e9, 2e6, 3e9, 12e9))});
    add("all total zero", {event(progress(1e9, 4e9, 2e6, 0, 0))});
    add("measured rate",
        {event(progress(0, 100e9, 50e6)), {{"advance", 5000}}, event(progress(1e9, 100e9, 50e6))});
    add("zero rate keeps the text", {event(progress(0, 40e6, 1e6)), event(progress(1e6, 40e6, 0))});
    add("status", {event({{"type", "status"}, {"id", "alpha"}, {"text", "Checking Alpha for updates"}})});
    add("status downloading",
        {event({{"type", "status"}, {"id", "alpha"}, {"text", "Downloading Alpha"}, {"downloading", true}})});
    add("starting by name", {event({{"type", "starting"}, {"id", "alpha"}, {"name", "Alpha One"}})});
    add("starting by id", {event(models_event()), event({{"type", "starting"}, {"id", "beta"}})});
    add("starting unknown", {event({{"type", "starting"}, {"id", "zeta"}})});
    add("auto", {event(models_event()), event({{"type", "auto"}, {"id", "alpha"}})});
    add("notes", {event({{"type", "note"}, {"text", "<b>Update</b> & more"}}), event({{"type", "note"}, {"text", "two"}})});
    add("error then exited",
        {event({{"type", "error"}, {"text", "the download did not finish"}}),
         event({{"type", "exited"}, {"code", 1}, {"log", "/x/engine.log"}})});
    add("exited", {event({{"type", "exited"}, {"code", 3}, {"log", "/home/u/.local/state/Mivra/engine.log"}})});
    add("buttons", {event({{"type", "error"}, {"text", "x"}}), {{"click", "[data-msg=retry]"}},
                    {{"click", "[data-msg=menu]"}}, event(progress(1, 2, 0)), {{"click", "[data-msg=quit]"}}});
    add("odd events",
        {event({{"type", "models"}, {"items", 7}}), event({{"type", "unknown"}}), event(json::array()),
         event({{"type", "note"}, {"text", 12}}), event({{"type", "starting"}, {"id", 5}, {"name", json()}})});
    return list;
}

json results;  // scenario name -> what happened

// Runs every scenario in one browser (launching Chromium is the slow part).
void run_scenarios() {
    ASSERT_TRUE(fs::exists("/usr/bin/chromium")) << "Debian's chromium is missing (scripts/deps.sh installs it)";
    install_node_packages(node_dir, {{"playwright-core", "1.65.2"}});
    temp_folder tmp;
    write_text(tmp / "page.html", std::string(launcher_page_markup) + launcher_page_script);
    write_text(tmp / "scenarios.json", scenarios().dump());
    const child_result r = run_child("/usr/bin/env",
                                     {"node", node_dir + "/page_harness.mjs", (tmp / "page.html").string(),
                                      (tmp / "scenarios.json").string(), (tmp / "profile").string()},
                                     tmp.path.string());
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    results = json::parse(r.out);
}

const json& run(const std::string& name) {
    const json& r = results.at(name);
    EXPECT_EQ(r["errors"], json::array()) << name;
    return r;
}

std::string text(const std::string& name, const std::string& id) {
    return results.at(name)["text"].at(id).get<std::string>();
}

const json hello = {{"type", "hello"}};

void SaysHelloOnceAndSendsNothingOutsideTheLauncher() {
    const json& loaded = run("loaded");
    EXPECT_EQ(loaded["sent"], json::array({hello}));
    EXPECT_EQ(loaded["view"], "v-wait");
    EXPECT_EQ(loaded["fill"], "");
    EXPECT_EQ(text("loaded", "dl-left"), "Starting…");
    EXPECT_EQ(text("loaded", "load-title"), "Starting");

    const json& plain = run("plain browser");
    EXPECT_FALSE(plain["webview"].get<bool>());
    EXPECT_EQ(plain["sent"], json::array());
    EXPECT_EQ(plain["view"], "v-wait");
}

void ModelCardsShowEveryTextLiterally() {
    const json& r = run("models");
    EXPECT_EQ(r["view"], "v-choose");
    EXPECT_EQ(text("models", "choose-title"), "Which model?");
    EXPECT_EQ(text("models", "newer"), "");
    const std::string cards = text("models", "models");
    // The name "<b>" and the name "&lt;b&gt;" both show as written; markup in "about" is text.
    EXPECT_NE(cards.find("Alpha <b>"), std::string::npos) << cards;
    EXPECT_NE(cards.find("&lt;b&gt;"), std::string::npos) << cards;
    EXPECT_NE(cards.find("<img src=x onerror=alert(1)>"), std::string::npos) << cards;
    EXPECT_NE(cards.find("Fast & small"), std::string::npos);
    const std::string html = r["html"]["models"].get<std::string>();
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_NE(html.find("&amp;lt;b&amp;gt;"), std::string::npos);
    EXPECT_NE(html.find("data-id=\"gamma&quot;x\""), std::string::npos);

    // Ready: tag, "downloaded", "Start". Installed but unfinished: "recommended", the size with one decimal, the
    // folder link. The default card is marked.
    EXPECT_NE(cards.find("Alpha <b>ready\n\nFast & small\n\ndownloaded · needs 16 GB memory\nStart\n"), std::string::npos)
        << cards;
    EXPECT_NE(cards.find("&lt;b&gt;recommended\ndownload not finished · 40.0 GB download\nDownload\nAlready have this model? "
                         "Choose its folder"),
              std::string::npos)
        << cards;
    EXPECT_NE(cards.find("5.0 GB download · needs 48 GB memory"), std::string::npos) << cards;
    EXPECT_NE(html.find("class=\"model def\""), std::string::npos);
    EXPECT_EQ(html.find("12.3 GB download"), std::string::npos) << "a ready model shows no size";

    EXPECT_EQ(text("nothing installed", "choose-title"), "Choose an AI model to download");
    EXPECT_EQ(text("nothing installed", "newer"),
              "Needs a newer Mivra: Big One, Huge <Two>. Download the latest version from the website.");
    EXPECT_NE(text("nothing installed", "models").find("12.3 GB download"), std::string::npos);
}

void CardsChooseAndTheirLinksLocate() {
    const json choose = {{"type", "choose"}, {"id", "alpha"}};
    EXPECT_EQ(run("choose by click")["sent"], json::array({hello, choose}));
    EXPECT_EQ(run("choose by click")["view"], "v-wait");
    EXPECT_EQ(run("choose by key")["sent"], json::array({hello, choose}));
    EXPECT_EQ(run("choose by key")["view"], "v-wait");

    // The link is no click on its card; it clears the last locate error first.
    const json locate = {{"type", "locate"}, {"id", "beta"}};
    EXPECT_EQ(run("locate link")["sent"], json::array({hello, locate}));
    EXPECT_EQ(run("locate link")["view"], "v-choose");
    EXPECT_EQ(text("locate link", "locate-msg"), "");
    EXPECT_EQ(run("locate by key")["sent"], json::array({hello, locate}));

    const json& failed = run("located failure then choice");
    EXPECT_EQ(text("located failure then choice", "locate-msg"), "that folder has no Mivra model in it");
    EXPECT_EQ(failed["sent"], json::array({hello, {{"type", "choose"}, {"id", "gamma\"x"}}}));
    EXPECT_EQ(failed["view"], "v-wait");
    EXPECT_EQ(run("located ok")["view"], "v-wait");
}

void DownloadNumbers() {
    struct progress_case {
        const char* scenario;
        const char* left;
        const char* rate;
        const char* fill;
    };
    // "fill" is the bar's width as the style sheet keeps it (the page writes one decimal; 50.0% reads back as 50%).
    const std::vector<progress_case> cases = {
        {"big download", "12.3 GB of 20.0 GB", "1.0 MB/s · about 2 h 8 min left", "61.7%"},
        {"small download", "5.00 GB of 10.0 GB", "", "50%"},
        {"forty seconds", "0.00 GB of 0.04 GB", "1.0 MB/s · about 1 min left", "0%"},
        {"twenty seconds", "0.00 GB of 0.02 GB", "1.0 MB/s · about 0 min left", "0%"},
        {"two hours ten", "0.00 GB of 7.80 GB", "1.0 MB/s · about 2 h 10 min left", "0%"},
        {"almost an hour", "0.00 GB of 3.60 GB", "1.0 MB/s · about 1 h 0 min left", "0%"},
        {"all files", "3.00 GB of 12.0 GB", "2.0 MB/s · about 1 h 15 min left", "25%"},
        {"all total zero", "1.00 GB of 4.00 GB", "2.0 MB/s · about 25 min left", "25%"},
        // 1 GB in the 5 s since the first event: 200 MB/s, whatever the events say.
        {"measured rate", "1.00 GB of 100.0 GB", "200.0 MB/s · about 8 min left", "1%"},
        {"zero rate keeps the text", "0.00 GB of 0.04 GB", "1.0 MB/s · about 1 min left", "2.5%"},
    };
    for (const progress_case& c : cases) {
        const json& r = run(c.scenario);
        EXPECT_EQ(r["view"], "v-download") << c.scenario;
        EXPECT_EQ(text(c.scenario, "dl-left"), c.left) << c.scenario;
        EXPECT_EQ(text(c.scenario, "dl-rate"), c.rate) << c.scenario;
        EXPECT_EQ(r["fill"], c.fill) << c.scenario;
    }
}

void StatusStartingAndNotes() {
    EXPECT_EQ(run("status")["view"], "v-load");
    EXPECT_EQ(text("status", "load-title"), "Checking Alpha for updates");
    EXPECT_EQ(text("status", "load-sub"), "This only takes a moment.");
    EXPECT_EQ(run("status downloading")["view"], "v-download");
    EXPECT_EQ(text("status downloading", "dl-title"), "Downloading Alpha");

    EXPECT_EQ(run("starting by name")["view"], "v-load");
    EXPECT_EQ(text("starting by name", "load-title"), "Starting Alpha One");
    EXPECT_EQ(text("starting by name", "load-sub"), "Loading the model into memory. This takes about a minute.");
    EXPECT_EQ(text("starting by id", "load-title"), "Starting &lt;b&gt;");
    EXPECT_EQ(text("starting unknown", "load-title"), "Starting Mivra");
    EXPECT_EQ(run("auto")["view"], "v-wait");

    EXPECT_EQ(text("notes", "notes"), "<b>Update</b> & more\n\ntwo");
    EXPECT_EQ(run("notes")["html"]["notes"], "<p>&lt;b&gt;Update&lt;/b&gt; &amp; more</p><p>two</p>");
}

void ErrorsExitsAndButtons() {
    EXPECT_EQ(run("error then exited")["view"], "v-error");
    EXPECT_EQ(text("error then exited", "err-text"), "the download did not finish");
    EXPECT_EQ(text("exited", "err-text"),
              "Mivra stopped unexpectedly. Details are in the log: /home/u/.local/state/Mivra/engine.log");
    EXPECT_EQ(run("buttons")["sent"],
              json::array({hello, {{"type", "retry"}}, {{"type", "menu"}}, {{"type", "quit"}}}));
    EXPECT_EQ(run("buttons")["view"], "v-download") << "buttons change no view";

    // Odd events change nothing they cannot use and throw nothing.
    const json& odd = run("odd events");
    EXPECT_EQ(odd["view"], "v-load");
    EXPECT_EQ(text("odd events", "models"), "");
    EXPECT_EQ(text("odd events", "notes"), "12");
    EXPECT_EQ(text("odd events", "load-title"), "Starting Mivra");
}

}  // namespace

// One test: each test of a program runs in a process of its own, and every process would launch Chromium again.
TEST(LauncherPage, EventsTextsAndMessages) {
    run_scenarios();
    ASSERT_FALSE(HasFatalFailure());
    {
        SCOPED_TRACE("SaysHelloOnceAndSendsNothingOutsideTheLauncher");
        SaysHelloOnceAndSendsNothingOutsideTheLauncher();
    }
    {
        SCOPED_TRACE("ModelCardsShowEveryTextLiterally");
        ModelCardsShowEveryTextLiterally();
    }
    {
        SCOPED_TRACE("CardsChooseAndTheirLinksLocate");
        CardsChooseAndTheirLinksLocate();
    }
    {
        SCOPED_TRACE("DownloadNumbers");
        DownloadNumbers();
    }
    {
        SCOPED_TRACE("StatusStartingAndNotes");
        StatusStartingAndNotes();
    }
    {
        SCOPED_TRACE("ErrorsExitsAndButtons");
        ErrorsExitsAndButtons();
    }
}
