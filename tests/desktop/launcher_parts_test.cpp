// The launcher's parts that need no process and no display: the reader's line rules, the window's first place and
// the per-user lock with its socket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/engine_output.h"
#include "desktop/launcher_window.h"
#include "fixtures/temp_folder.h"
#include "platform/instance_lock.h"

namespace {

struct line_case {
    const char* name;
    std::vector<std::string> blocks;     // the output, in the blocks it arrives in
    std::vector<std::string> expected;   // the lines relayed
};

TEST(EngineOutput, LineRules) {
    const std::vector<line_case> cases = {
        {"lf", {"{\"a\":1}\n"}, {"{\"a\":1}"}},
        {"crlf loses one cr", {"{\"a\":1}\r\n", "{\"b\":2}\r\r\n"}, {"{\"a\":1}", "{\"b\":2}\r"}},
        {"split across reads", {"{\"ty", "pe\":\"x\"", "}\n"}, {"{\"type\":\"x\"}"}},
        {"cr and lf in separate reads", {"{}\r", "\n"}, {"{}"}},
        {"several in one read", {"{}\n{\"a\":1}\n{\"b\":2}\n"}, {"{}", "{\"a\":1}", "{\"b\":2}"}},
        {"not starting with a brace", {"text\n", " {}\n", "[1]\n", "\t{}\n"}, {}},
        {"empty lines", {"\n", "\r\n", "\n\n"}, {}},
        {"a lone cr is no line end", {"{}\r{}\n"}, {"{}\r{}"}},
        {"unfinished last line held back", {"{}\n{\"partial\":"}, {"{}"}},
        {"braces only need to open the line", {"{not json\n"}, {"{not json"}},
    };
    for (const line_case& c : cases) {
        engine_line_buffer buffer;
        std::vector<std::string> lines;
        for (const std::string& block : c.blocks) {
            for (std::string& line : buffer.feed(block.data(), block.size())) lines.push_back(line);
        }
        EXPECT_EQ(lines, c.expected) << c.name;
    }
    engine_line_buffer buffer;
    buffer.feed("{}\n{\"partial\":", 14);
    EXPECT_EQ(buffer.partial(), "{\"partial\":");
}

TEST(EngineOutput, LongLinesAndManyBlocks) {
    engine_line_buffer buffer;
    const std::string line = "{\"text\":\"" + std::string(100000, 'x') + "\"}";
    const std::string stream = line + "\n" + line + "\r\n";
    std::vector<std::string> lines;
    for (size_t at = 0; at < stream.size(); at += 4096) {
        const size_t n = std::min<size_t>(4096, stream.size() - at);
        for (std::string& l : buffer.feed(stream.data() + at, n)) lines.push_back(l);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{line, line}));
    EXPECT_TRUE(buffer.partial().empty());
}

TEST(LauncherWindow, FirstPlace) {
    struct place_case {
        window_rect area;
        window_rect expected;
    };
    const std::vector<place_case> cases = {
        {{0, 0, 1920, 1080}, {320, 130, 1280, 820}},
        {{0, 0, 1366, 728}, {43, 20, 1280, 688}},     // a laptop with a panel
        {{0, 0, 1706, 933}, {213, 56, 1280, 820}},    // 2560 x 1400 at 150 %, in logical pixels
        {{0, 32, 1920, 1048}, {320, 146, 1280, 820}}, // a top panel
        {{1920, 0, 1280, 1024}, {1940, 102, 1240, 820}},  // a second monitor
        {{0, 0, 800, 600}, {20, 20, 760, 560}},
        {{0, 0, 1321, 861}, {20, 20, 1280, 820}},
        {{0, 0, 1323, 863}, {21, 21, 1280, 820}},     // halves truncated
    };
    for (const place_case& c : cases) {
        const window_rect r = initial_window_rect(c.area);
        EXPECT_EQ((std::vector<int>{r.x, r.y, r.width, r.height}),
                  (std::vector<int>{c.expected.x, c.expected.y, c.expected.width, c.expected.height}))
            << c.area.width << "x" << c.area.height;
    }
}

TEST(InstanceLock, OneHolderAtATimeAndMessagesOnTheSocket) {
    temp_folder tmp;
    const std::string lock_path = (tmp / "app.lock").string();
    instance_lock_result first = acquire_instance_lock(lock_path);
    ASSERT_EQ(first.outcome, lock_outcome::acquired);
    // flock belongs to the open file: a second open, even in this process, is refused while the first is held.
    EXPECT_EQ(acquire_instance_lock(lock_path).outcome, lock_outcome::held_elsewhere);
    EXPECT_EQ(acquire_instance_lock((tmp / "missing" / "app.lock").string()).outcome, lock_outcome::failed);

    const std::string socket_path = (tmp / "app.sock").string();
    EXPECT_FALSE(send_local_message(socket_path, "activate\n"));  // nobody listens yet
    write_text(socket_path, "left by an earlier run");
    file_descriptor listening = listen_local_socket(socket_path);
    ASSERT_TRUE(listening.valid());
    EXPECT_EQ(receive_local_message(listening.get(), 64, 100), "");  // nothing waiting
    ASSERT_TRUE(send_local_message(socket_path, "activate\n"));
    EXPECT_EQ(receive_local_message(listening.get(), 64, 1000), "activate\n");
    ASSERT_TRUE(send_local_message(socket_path, std::string(500, 'a')));
    EXPECT_EQ(receive_local_message(listening.get(), 64, 1000).size(), 64u);
    EXPECT_FALSE(listen_local_socket((tmp / std::string(120, 'x')).string()).valid());  // too long for an address

    first.lock.close();
    EXPECT_EQ(acquire_instance_lock(lock_path).outcome, lock_outcome::acquired);
}

}  // namespace
