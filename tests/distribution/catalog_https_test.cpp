// The catalog and the update check fetched over HTTPS from the local test server, each run in a child process
// whose environment names the catalog, the Hub endpoint and the test certificate.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "common/https_server.h"

using nlohmann::json;

namespace {

const std::string driver = std::string(MIVRA_BIN_DIR) + "/distribution_driver";

std::string percent_encoded(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

const std::string newer_catalog =
    "\xEF\xBB\xBF" R"({"format": "mivra-catalog-1", "models": [{"id": "served", "repo": "o/served"}],
                       "mivra": {"latest": "0.2", "notes": "Faster downloads"}})";

class CatalogHttps : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new https_test_server(std::string(MIVRA_SOURCE_DIR) + "/tests/distribution/catalog_route.js");
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    // The address that serves `text`.
    static std::string served(const std::string& text) { return server->url("/body/" + percent_encoded(text)); }

    static std::string run(const std::vector<std::string>& args, std::vector<std::string> env) {
        env.push_back("MIVRA_CA_FILE=" + server->ca_file());
        env.push_back("HOME=/nonexistent");
        std::vector<std::string> argv = {driver};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = run_child(argv, env);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }

    static inline https_test_server* server = nullptr;
};

}  // namespace

TEST_F(CatalogHttps, LoadCatalog) {
    const json note = {{"latest", "0.2"}, {"notes", "Faster downloads"}};
    const json builtin = {{"ids", {"qwen3-30b-a3b"}}, {"note", nullptr}};
    const struct {
        const char* what;
        std::vector<std::string> env;
        json expected;
    } cases[] = {
        {"MIVRA_CATALOG names an https address", {"MIVRA_CATALOG=" + served(newer_catalog)},
         {{"ids", {"served"}}, {"note", note}}},
        {"through a redirect", {"MIVRA_CATALOG=" + server->url("/redirect?to=" + percent_encoded(served(newer_catalog)))},
         {{"ids", {"served"}}, {"note", note}}},
        {"the default address on the Hub", {"HF_ENDPOINT=" + served(newer_catalog) + "/"},
         {{"ids", {"served"}}, {"note", note}}},
        {"not found", {"MIVRA_CATALOG=" + server->url("/status/404")}, builtin},
        {"served but not a catalog", {"MIVRA_CATALOG=" + served(R"({"format": "other"})")}, builtin},
        {"plain http is a file name", {"MIVRA_CATALOG=" + server->plain_url("/body/x")}, builtin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(json::parse(run({"load-catalog"}, c.env)), c.expected);
    }
}

TEST_F(CatalogHttps, CertificateIsChecked) {
    auto r = run_child({driver, "load-catalog"}, {"MIVRA_CATALOG=" + served(newer_catalog), "HOME=/nonexistent"});
    EXPECT_EQ(json::parse(r.out)["ids"], json({"qwen3-30b-a3b"}));
    r = run_child({driver, "update-check"}, {"MIVRA_CATALOG=" + served(newer_catalog), "HOME=/nonexistent"});
    EXPECT_EQ(r.out, "null\n");
}

TEST_F(CatalogHttps, UpdateNoticeFromTheServedCatalog) {
    const std::string notice = R"({"latest":"0.2","notes":"Faster downloads","url":""})" "\n";
    EXPECT_EQ(run({"update-check"}, {"MIVRA_CATALOG=" + served(newer_catalog)}), notice);
    // An empty MIVRA_CATALOG means the default address.
    EXPECT_EQ(run({"update-check"}, {"MIVRA_CATALOG=", "HF_ENDPOINT=" + served(newer_catalog)}), notice);
    EXPECT_EQ(run({"update-check"}, {"MIVRA_CATALOG=" + served(R"({"mivra": {"latest": "0.1"}})")}), "null\n");
    EXPECT_EQ(run({"update-check"}, {"MIVRA_CATALOG=" + server->url("/status/500")}), "null\n");

    // What start shows after reading the same catalog.
    EXPECT_EQ(run({"start-note"}, {"MIVRA_CATALOG=" + served(newer_catalog)}),
              "  Mivra 0.2 is available (you have 0.1): Faster downloads.\n"
              "  Download it from the Mivra website.\n\n");
    EXPECT_EQ(run({"start-note", "--gui"}, {"MIVRA_CATALOG=" + served(newer_catalog)}),
              R"({"text":"Mivra 0.2 is available (you have 0.1). Download it from the Mivra website.","type":"note"})"
              "\n");
}
