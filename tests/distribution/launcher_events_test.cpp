#include "distribution/launcher_events.h"

#include <gtest/gtest.h>

using nlohmann::json;

TEST(LauncherEvents, EveryEventOnTheWire) {
    menu_item installed;
    installed.id = "qwen3-30b-a3b";
    installed.name = "Qwen3 30B";
    installed.about = "General chat";
    installed.download_gb = 18.6;
    installed.min_ram_gb = 8;
    installed.installed = installed.ready = installed.recommended = true;
    menu_item other;
    other.id = "x";
    other.name = "Gr\xC3\xBC\xC3\x9F" "e";  // raw UTF-8 stays raw

    const struct {
        json event;
        const char* line;
    } cases[] = {
        {gui_models_event({installed, other}, 1, {"Big One"}),
         R"({"items":[{"about":"General chat","default":false,"gb":18.6,"id":"qwen3-30b-a3b","installed":true,)"
         R"("name":"Qwen3 30B","ram":8.0,"ready":true,"recommended":true},)"
         R"({"about":"","default":true,"gb":0.0,"id":"x","installed":false,"name":"Grüße","ram":0.0,)"
         R"("ready":false,"recommended":false}],"too_new":["Big One"],"type":"models","version":"0.1"})"},
        {gui_models_event({}, 0, {}), R"({"items":[],"too_new":[],"type":"models","version":"0.1"})"},
        {gui_auto_event("m"), R"({"id":"m","type":"auto"})"},
        {gui_located_event(true, "m", "Using the copy in C:\\Packs\\m"),
         R"({"id":"m","ok":true,"text":"Using the copy in C:\\Packs\\m","type":"located"})"},
        {gui_located_event(false, "", "unknown model"), R"({"id":"","ok":false,"text":"unknown model","type":"located"})"},
        {gui_note_event("line\nbreak"), R"({"text":"line\nbreak","type":"note"})"},
        {gui_status_event("m", "Checking M for updates", false),
         R"({"id":"m","text":"Checking M for updates","type":"status"})"},
        {gui_status_event("m", "Downloading M", true),
         R"({"downloading":true,"id":"m","text":"Downloading M","type":"status"})"},
        {gui_download_event(3, 18446744073709551615ull), R"({"files":3,"need":18446744073709551615,"type":"download"})"},
        {gui_progress_event("experts.bin", 10, 100, 5, 20, 200),
         R"({"all_done":20,"all_total":200,"done":10,"file":"experts.bin","rate":5,"total":100,"type":"progress"})"},
        {gui_starting_event("m", "M"), R"({"id":"m","name":"M","type":"starting"})"},
        {gui_error_event("No models are available for this version of Mivra."),
         R"({"text":"No models are available for this version of Mivra.","type":"error"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(json_line_text(c.event), c.line);
}

TEST(LauncherEvents, InvalidUtf8BecomesReplacementCharacter) {
    // A lone continuation byte, a truncated sequence at the end and an overlong form.
    EXPECT_EQ(json_line_text(gui_note_event("a\x80" "b\xC0\xAF" "c\xE2\x82")),
              "{\"text\":\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\",\"type\":\"note\"}");
}

TEST(LauncherEvents, EmitWritesOneFlushedLine) {
    testing::internal::CaptureStdout();
    emit_json_line(gui_auto_event("a"));
    emit_json_line(gui_error_event("b\xFF"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "{\"id\":\"a\",\"type\":\"auto\"}\n{\"text\":\"b\xEF\xBF\xBD\",\"type\":\"error\"}\n");
}
