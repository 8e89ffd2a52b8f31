// The update-check thread run in a child process, so each case has its own MIVRA_CATALOG and a fresh agent state.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "distribution/catalog.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const std::string driver = std::string(MIVRA_BIN_DIR) + "/distribution_driver";

std::string run_driver(const std::string& mode, const std::vector<std::string>& env) {
    auto r = run_child({driver, mode}, env);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "") << "the check never prints";
    return r.out;
}

}  // namespace

TEST(UpdateCheck, StoresTheNoticeFromALocalCatalog) {
    temp_folder tmp;
    const struct {
        const char* what;
        std::string text;
        std::string notice;
    } cases[] = {
        {"newer, with a byte order mark, url and notes left out",
         "\xEF\xBB\xBF{\"format\": \"mivra-catalog-1\", \"mivra\": {\"latest\": \"0.1.1\"}}",
         R"({"latest":"0.1.1","notes":"","url":""})"},
        {"newer with url and notes", R"({"mivra": {"latest": "2", "url": "https://x.test/get", "notes": "n"}})",
         R"({"latest":"2","notes":"n","url":"https://x.test/get"})"},
        {"no mivra object", R"({"format": "mivra-catalog-1", "models": []})", "null"},
        {"same version", R"({"mivra": {"latest": "0.1.0"}})", "null"},
        {"older version", R"({"mivra": {"latest": "0.0.9"}})", "null"},
        {"broken JSON", R"({"mivra": {"latest": "0.2")", "null"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path file = tmp / ("c" + std::to_string(n++) + ".json");
        write_text(file, c.text);
        EXPECT_EQ(run_driver("update-check", {"MIVRA_CATALOG=" + file.string()}), c.notice + "\n");
    }
    EXPECT_EQ(run_driver("update-check", {"MIVRA_CATALOG=" + (tmp / "missing.json").string()}), "null\n");
    EXPECT_EQ(run_driver("update-check", {"MIVRA_CATALOG=http://127.0.0.1:1/models.json"}), "null\n");
}

TEST(UpdateCheck, Source) {
    EXPECT_EQ(run_driver("update-source", {}), default_catalog_source() + "\n");
    EXPECT_EQ(run_driver("update-source", {"MIVRA_CATALOG="}), default_catalog_source() + "\n");
    EXPECT_EQ(run_driver("update-source", {"MIVRA_CATALOG=/tmp/c.json"}), "/tmp/c.json\n");
}
