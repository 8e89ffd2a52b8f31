#include "distribution/update_notice.h"

#include <gtest/gtest.h>

#include "distribution/launcher_events.h"
#include "fixtures/temp_folder.h"

using nlohmann::json;

namespace {

std::string note_output(const json& info, bool gui) {
    catalog_update_info = info;
    gui_mode = gui;
    testing::internal::CaptureStdout();
    print_update_note();
    std::string out = testing::internal::GetCapturedStdout();
    gui_mode = false;
    catalog_update_info = nullptr;
    return out;
}

}  // namespace

TEST(UpdateNotice, ConsoleAndLauncherTexts) {
    const json faster = {{"latest", "0.2"}, {"url", ""}, {"notes", "Faster downloads"}};
    EXPECT_EQ(note_output(faster, false),
              "  Mivra 0.2 is available (you have 0.1): Faster downloads.\n"
              "  Download it from the Mivra website.\n\n");
    EXPECT_EQ(note_output(faster, true),
              R"({"text":"Mivra 0.2 is available (you have 0.1). Download it from the Mivra website.","type":"note"})"
              "\n");

    const json with_url = {{"latest", "1"}, {"url", "https://example.test/get"}};
    EXPECT_EQ(note_output(with_url, false),
              "  Mivra 1 is available (you have 0.1).\n  Download it from https://example.test/get\n\n");
    EXPECT_EQ(note_output(with_url, true),
              R"({"text":"Mivra 1 is available (you have 0.1). Download it from https://example.test/get","type":"note"})"
              "\n");
}

TEST(UpdateNotice, WhenANoteIsDue) {
    const struct {
        json info;
        bool note;
    } cases[] = {
        {{{"latest", "0.2"}}, true},
        {{{"latest", "0.1.1"}}, true},
        {{{"latest", "1"}}, true},
        {{{"latest", "v0.2"}}, true},  // the first field reads as 0, the second as 2
        {{{"latest", "0.1"}}, false},
        {{{"latest", "0.1.0"}}, false},
        {{{"latest", "0.0.9"}}, false},
        {{{"latest", ""}}, false},
        {json::object(), false},
        {nullptr, false},
        {"0.2", false},                   // not an object
        {{{"latest", 2}}, false},         // not a string: absent
        {{{"latest", {0, 2}}}, false},
        {{{"latest", "0.2"}, {"url", 5}, {"notes", nullptr}}, true},  // odd url and notes read as absent
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.info.dump());
        EXPECT_EQ(!note_output(c.info, false).empty(), c.note);
        EXPECT_EQ(!note_output(c.info, true).empty(), c.note);
        json notice = update_notice_from_catalog(json({{"format", "x"}, {"mivra", c.info}}).dump());
        EXPECT_EQ(!notice.is_null(), c.note);
    }
    EXPECT_EQ(note_output({{"latest", "0.2"}, {"url", 5}, {"notes", nullptr}}, false),
              "  Mivra 0.2 is available (you have 0.1).\n  Download it from the Mivra website.\n\n");
}

TEST(UpdateNotice, NoticeFromCatalogSource) {
    temp_folder tmp;
    write_text(tmp / "bom.json", "\xEF\xBB\xBF{\"mivra\": {\"latest\": \"0.2\"}}");
    write_text(tmp / "full.json", R"({"mivra": {"latest": "0.3", "url": "https://x.test", "notes": "n"}})");
    write_text(tmp / "none.json", R"({"format": "mivra-catalog-1", "models": []})");
    write_text(tmp / "broken.json", "{\"mivra\": ");
    write_text(tmp / "array.json", "[1, 2]");

    const json kept_empty = {{"latest", "0.2"}, {"url", ""}, {"notes", ""}};
    EXPECT_EQ(check_catalog_for_update((tmp / "bom.json").string(), nullptr), kept_empty);
    EXPECT_EQ(check_catalog_for_update((tmp / "full.json").string(), nullptr),
              json({{"latest", "0.3"}, {"url", "https://x.test"}, {"notes", "n"}}));
    for (const std::string& source : {(tmp / "none.json").string(), (tmp / "broken.json").string(),
                                     (tmp / "array.json").string(), (tmp / "missing.json").string(),
                                     std::string("http://127.0.0.1:1/models.json")})
        EXPECT_TRUE(check_catalog_for_update(source, nullptr).is_null()) << source;

    std::string asked;
    auto fetch = [&](const std::string& url, std::string& body, std::string&) {
        asked = url;
        body = R"({"mivra": {"latest": "0.2"}})";
        return true;
    };
    EXPECT_EQ(check_catalog_for_update("https://example.test/models.json", fetch), kept_empty);
    EXPECT_EQ(asked, "https://example.test/models.json");
    auto offline = [](const std::string&, std::string&, std::string& error) {
        error = "offline";
        return false;
    };
    EXPECT_TRUE(check_catalog_for_update("https://example.test/models.json", offline).is_null());
}
