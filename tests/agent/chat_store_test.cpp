// The chat store on a real `mivra serve` whose HOME and XDG folders lie in a temporary folder: chats stored byte for
// byte in private files, the two kinds, listing order, limit and skipped files, the id rule, deletes, failed saves
// that leave nothing behind, and many saves of one chat at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent_user.h"
#include "fixtures/test_support.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// One server with its page token; requests carry the token.
struct chat_server {
    agent_user user;
    serve_process server{user.options()};
    std::string token;
    fs::path chats = user.dir / "data" / "Mivra" / "chats";

    chat_server() {
        auto res = server.client()->Get("/simple");
        if (!res) throw std::runtime_error("no answer to GET /simple");
        token = page_token(res->body);
    }
    answer post(const std::string& path, const std::string& body) const {
        httplib::Client client("127.0.0.1", server.port());
        client.set_read_timeout(std::chrono::seconds(60));
        client.set_write_timeout(std::chrono::seconds(60));
        auto res = client.Post(path, httplib::Headers{{"X-Mivra-Token", token}}, body, "application/json");
        if (!res) throw std::runtime_error("no answer to POST " + path + ": " + httplib::to_string(res.error()));
        return {res->status, res->body};
    }
    answer get(const std::string& path) const {
        httplib::Client client("127.0.0.1", server.port());
        client.set_read_timeout(std::chrono::seconds(60));
        auto res = client.Get(path, httplib::Headers{{"X-Mivra-Token", token}});
        if (!res) throw std::runtime_error("no answer to GET " + path + ": " + httplib::to_string(res.error()));
        return {res->status, res->body};
    }
    json list(const std::string& kind) const {
        const answer a = get("/agent/chats" + kind);
        EXPECT_EQ(a.status, 200) << a.body;
        return json::parse(a.body)["chats"];
    }
};

const std::string ok = R"({"ok":true})";

unsigned mode_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The message that the JSON library gives for `body` when a chat id is read from it.
std::string json_library_error(const std::string& body) {
    try {
        (void)json::parse(body).value("id", std::string());
    } catch (const json::exception& e) {
        return e.what();
    }
    return "<no error>";
}

}  // namespace

TEST(ChatStore, SavesTheBodyByteForByteInPrivateFilesOfItsKind) {
    chat_server s;
    // Spacing, key order, escapes and non-ASCII text exactly as the page sent them.
    const std::string body = "{ \"updated\" : 1.50e3,\n \"id\":\"Chat_1-a\", \"title\":\"caf\xC3\xA9 \\u00e9\"}\n";
    EXPECT_EQ(s.post("/agent/chat", body).body, ok);
    const fs::path stored = s.chats / "agent" / "Chat_1-a.json";
    EXPECT_EQ(read_text(stored), body);
    EXPECT_EQ(mode_of(stored), 0600u);
    EXPECT_EQ(mode_of(s.chats), 0700u);
    EXPECT_EQ(mode_of(s.chats / "agent"), 0700u);
    EXPECT_EQ(names_in(s.chats / "agent"), std::vector<std::string>{"Chat_1-a.json"});  // no temporary file left

    // Only kind=simple exactly is the built-in page's folder.
    const std::string simple = R"({"id":"s1","updated":1})";
    EXPECT_EQ(s.post("/agent/chat?kind=simple", simple).body, ok);
    EXPECT_EQ(read_text(s.chats / "simple" / "s1.json"), simple);
    EXPECT_EQ(mode_of(s.chats / "simple"), 0700u);
    for (const std::string kind : {"?kind=Simple", "?kind=agent", "?kind=SIMPLE", "?kind=other", "?kind="}) {
        const std::string other = R"({"id":"k)" + std::to_string(kind.size()) + R"("})";
        EXPECT_EQ(s.post("/agent/chat" + kind, other).body, ok) << kind;
        EXPECT_EQ(read_text(s.chats / "agent" / ("k" + std::to_string(kind.size()) + ".json")), other) << kind;
    }
    EXPECT_EQ(names_in(s.chats / "simple"), std::vector<std::string>{"s1.json"});

    // A later save replaces the chat whole; the listing gives it written anew, keys sorted.
    const std::string again = R"({"title":"two","id":"Chat_1-a","updated":2000})";
    EXPECT_EQ(s.post("/agent/chat", again).body, ok);
    EXPECT_EQ(read_text(stored), again);
    EXPECT_EQ(s.get("/agent/chats?kind=simple").body, R"({"chats":[{"id":"s1","updated":1}]})");
    EXPECT_EQ(s.list("")[0].dump(), R"({"id":"Chat_1-a","title":"two","updated":2000})");
}

TEST(ChatStore, ListsNewestFirstLeavingOutFilesThatAreNoChats) {
    chat_server s;
    EXPECT_EQ(s.get("/agent/chats").body, R"({"chats":[]})");  // no folder yet
    EXPECT_FALSE(fs::exists(s.chats));

    EXPECT_EQ(s.post("/agent/chat", R"({"id":"absent"})").body, ok);
    EXPECT_EQ(s.post("/agent/chat", R"({"id":"thirty","updated":30})").body, ok);
    EXPECT_EQ(s.post("/agent/chat", R"({"id":"five","updated":5})").body, ok);
    const fs::path folder = s.chats / "agent";
    write_text(folder / "broken.json", R"({"id":"broken",)");
    write_text(folder / "array.json", R"([{"id":"array","updated":99}])");
    write_text(folder / "text.json", R"({"id":"text","updated":"99"})");
    write_text(folder / "flag.json", R"({"id":"flag","updated":true})");
    write_text(folder / "upper.JSON", R"({"id":"upper","updated":99})");
    write_text(folder / "left.json.tmp", R"({"id":"left","updated":99})");
    write_text(folder / "empty.json", "");
    fs::create_directories(folder / "folder.json");
    fs::create_directories(folder / "sub");
    write_text(folder / "sub" / "deep.json", R"({"id":"deep","updated":99})");

    const json chats = s.list("");
    std::vector<std::string> ids;
    for (const json& chat : chats) ids.push_back(chat["id"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"thirty", "five", "absent"}));
    EXPECT_EQ(s.list("?kind=simple"), json::array());
}

TEST(ChatStore, ListsAtMostThreeHundredOfTheNewest) {
    chat_server s;
    const fs::path folder = s.chats / "agent";
    fs::create_directories(folder);
    for (int i = 0; i < 305; ++i) {
        write_text(folder / ("c" + std::to_string(i) + ".json"),
                   json({{"id", "c" + std::to_string(i)}, {"updated", i}}).dump());
    }
    const json chats = s.list("");
    ASSERT_EQ(chats.size(), 300u);
    for (size_t i = 0; i < chats.size(); ++i) EXPECT_EQ(chats[i]["updated"], 304 - static_cast<int>(i));
}

TEST(ChatStore, RefusesBadIdsAndBodiesOnSaveAndDelete) {
    chat_server s;
    const std::string id40(40, 'a');
    struct bad_case {
        std::string body;
        std::string error;
    };
    const bad_case cases[] = {
        {R"({"id":")" + std::string(41, 'a') + R"("})", "bad chat id"},
        {R"({"id":""})", "bad chat id"},
        {R"({"title":"no id"})", "bad chat id"},
        {R"({"id":"../x"})", "bad chat id"},
        {R"({"id":"a.b"})", "bad chat id"},
        {R"({"id":"a b"})", "bad chat id"},
        {R"({"id":"caf\u00e9"})", "bad chat id"},
        {R"({"id":"a\u0000"})", "bad chat id"},
        {R"({"id":7})", json_library_error(R"({"id":7})")},
        {R"(["id"])", json_library_error(R"(["id"])")},
        {R"({"id":"x",)", json_library_error(R"({"id":"x",)")},
        {"", json_library_error("")},
    };
    for (const std::string route : {"/agent/chat", "/agent/chat_delete"}) {
        for (const bad_case& c : cases) {
            const answer a = s.post(route, c.body);
            EXPECT_EQ(a.status, 400) << route << " " << c.body;
            EXPECT_EQ(a.body, json({{"error", c.error}}).dump()) << route << " " << c.body;
        }
    }
    EXPECT_FALSE(fs::exists(s.chats / "agent") && !fs::is_empty(s.chats / "agent"));

    EXPECT_EQ(s.post("/agent/chat", R"({"id":")" + id40 + R"("})").body, ok);
    EXPECT_TRUE(fs::exists(s.chats / "agent" / (id40 + ".json")));

    // The size limit counts the posted bytes, after the id is checked.
    std::string big = R"({"id":"big","pad":")";
    big += std::string(67108864 - big.size() - 2, 'x') + "\"}";
    ASSERT_EQ(big.size(), 67108864u);
    EXPECT_EQ(s.post("/agent/chat", big).body, ok);
    EXPECT_EQ(fs::file_size(s.chats / "agent" / "big.json"), 67108864u);
    big.insert(big.size() - 2, "x");
    const answer too_large = s.post("/agent/chat", big);
    EXPECT_EQ(too_large.status, 400);
    EXPECT_EQ(too_large.body, R"({"error":"chat too large"})");
    EXPECT_EQ(fs::file_size(s.chats / "agent" / "big.json"), 67108864u);
}

TEST(ChatStore, DeleteRemovesOnlyThatChatAndIgnoresMissingOnes) {
    chat_server s;
    EXPECT_EQ(s.post("/agent/chat", R"({"id":"one"})").body, ok);
    EXPECT_EQ(s.post("/agent/chat", R"({"id":"two"})").body, ok);
    EXPECT_EQ(s.post("/agent/chat?kind=simple", R"({"id":"one"})").body, ok);
    write_text(s.chats / "agent" / "one.json.tmp", "left over");

    EXPECT_EQ(s.post("/agent/chat_delete", R"({"id":"one","other":[1]})").body, ok);
    EXPECT_EQ(names_in(s.chats / "agent"), (std::vector<std::string>{"one.json.tmp", "two.json"}));
    EXPECT_TRUE(fs::exists(s.chats / "simple" / "one.json"));
    EXPECT_EQ(s.post("/agent/chat_delete", R"({"id":"one"})").body, ok);  // already gone
    EXPECT_EQ(s.post("/agent/chat_delete?kind=simple", R"({"id":"nothing"})").body, ok);
    EXPECT_EQ(s.post("/agent/chat_delete?kind=simple", R"({"id":"one"})").body, ok);
    EXPECT_TRUE(fs::is_empty(s.chats / "simple"));
}

// A save that cannot complete says so and leaves neither a temporary file nor a changed chat behind.
TEST(ChatStore, FailedSavesLeaveNothingBehind) {
    chat_server s;
    fs::create_directories(s.chats / "agent" / "taken.json" / "inside");  // a folder where the chat would go
    answer a = s.post("/agent/chat", R"({"id":"taken"})");
    EXPECT_EQ(a.status, 400);
    EXPECT_NE(json::parse(a.body)["error"].get<std::string>().find("rename"), std::string::npos) << a.body;
    EXPECT_EQ(names_in(s.chats / "agent"), std::vector<std::string>{"taken.json"});

    write_text(s.chats / "simple", "a file where the folder would go");
    a = s.post("/agent/chat?kind=simple", R"({"id":"x"})");
    EXPECT_EQ(a.status, 400);
    EXPECT_NE(json::parse(a.body)["error"].get<std::string>().find("create_directories"), std::string::npos)
        << a.body;
    EXPECT_EQ(read_text(s.chats / "simple"), "a file where the folder would go");
}

// Many saves of one chat at once: each writes its own temporary file, so the chat ends as one whole body.
TEST(ChatStore, ConcurrentSavesOfOneChatLeaveOneWholeBody) {
    chat_server s;
    constexpr int saves = 50;
    std::vector<std::string> bodies;
    for (int i = 0; i < saves; ++i) {
        // Bodies of different lengths, large enough that interleaved writes would show.
        bodies.push_back(json({{"id", "same"}, {"updated", i}, {"text", std::string(20000 + 997 * i, 'a' + i % 26)}})
                             .dump());
    }
    std::atomic<int> oks{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < saves; ++i) {
        threads.emplace_back([&, i] {
            if (s.post("/agent/chat", bodies[i]).body == ok) ++oks;
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(oks.load(), saves);
    EXPECT_EQ(names_in(s.chats / "agent"), std::vector<std::string>{"same.json"});
    const std::string stored = read_text(s.chats / "agent" / "same.json");
    EXPECT_TRUE(json::accept(stored));
    EXPECT_NE(std::find(bodies.begin(), bodies.end(), stored), bodies.end()) << stored.substr(0, 80);
    EXPECT_EQ(s.list("").size(), 1u);
}
