// The JSON nesting guard: deep values are copied, compared and written on a small stack, with the exact results of
// the unguarded library (checked against json_reference, built from the bare library).
#include "common/json_nesting_guard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/small_stack.h"

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

constexpr size_t one_mib = size_t{1} << 20;

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

// `levels` containers around `inner`, alternating arrays and objects (outermost an array), each holding a few
// scalars beside the deeper value so that separators, keys and indentation all occur at every level.
std::string wrapped_text(size_t levels, const std::string& inner) {
    std::string open, close;
    for (size_t i = 0; i < levels; ++i) {
        if (i % 2 == 0) {
            open += "[" + std::to_string(i) + ",\"s\",";
            close = ",[],{}]" + close;
        } else {
            open += "{\"z\":true,\"a\":null,\"m\":";
            close = ",\"b\":-1.5}" + close;
        }
    }
    return open + inner + close;
}

template <class J> void check_counters_zero() {
    EXPECT_EQ(json_nesting_counter_sorted(), 0);
    EXPECT_EQ(json_nesting_counter_ordered(), 0);
}

// Dump of `value` by the unguarded library.
template <class J> std::string reference_dump(const J& value, int indent, char ichar, bool ascii) {
    const std::vector<std::uint8_t> cbor = J::to_cbor(value);
    char name[] = "/tmp/mivra-json-ref-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    if (write(fd, cbor.data(), cbor.size()) != static_cast<ssize_t>(cbor.size())) throw std::runtime_error("write");
    close(fd);
    const std::string command = std::string(MIVRA_BIN_DIR) + "/json_reference " + name + " " +
                                std::to_string(indent) + " " + std::to_string(static_cast<int>(ichar)) + " " +
                                (ascii ? "1" : "0") + " " + (std::is_same_v<J, ordered_json> ? "1" : "0");
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    std::filesystem::remove(name);
    if (status != 0) throw std::runtime_error("json_reference failed: " + command);
    return out;
}

template <class J> class JsonNestingGuard : public ::testing::Test {};
using value_types = ::testing::Types<json, ordered_json>;
TYPED_TEST_SUITE(JsonNestingGuard, value_types);

TYPED_TEST(JsonNestingGuard, HundredThousandLevelsOnAOneMebibyteStack) {
    using J = TypeParam;
    constexpr size_t levels = 100000;
    const std::string compact = repeat("[", levels) + repeat("]", levels);
    const std::string pretty = repeat("[\n", levels - 1) + "[]" + repeat("\n]", levels - 1);
    const J deep = J::parse(compact);
    run_with_stack(one_mib, [&] {
        const J copy = deep;
        EXPECT_TRUE(copy == deep);
        EXPECT_EQ(copy.dump(), compact);
        EXPECT_EQ(copy.dump(0), pretty);
        J changed = copy;
        J* slot = &changed;
        for (size_t i = 0; i + 1 < levels; ++i) slot = &(*slot)[0];
        slot->push_back(7);
        EXPECT_FALSE(changed == copy);
        EXPECT_TRUE(changed != deep);
        check_counters_zero<J>();
    });
}

TYPED_TEST(JsonNestingGuard, SwitchesToTheExplicitStackBelowLevel128) {
    using J = TypeParam;
    for (const size_t levels : {size_t{128}, size_t{129}}) {
        SCOPED_TRACE(levels);
        const J value = J::parse(repeat("[1,", levels) + "2" + repeat("]", levels));
        const auto before = json_explicit_stack_entries();
        const J copy = value;
        EXPECT_EQ(json_explicit_stack_entries() - before, levels - 128);
        EXPECT_TRUE(copy == value);
        EXPECT_EQ(json_explicit_stack_entries() - before, 2 * (levels - 128));
        EXPECT_EQ(copy.dump(), repeat("[1,", levels) + "2" + repeat("]", levels));
        EXPECT_EQ(json_explicit_stack_entries() - before, 3 * (levels - 128));
        EXPECT_EQ(json_nesting_depth(copy), levels);
        check_counters_zero<J>();
    }
}

// Every layout of the serializer (compact, pretty with several indents and characters, ASCII escaping) at a shallow
// depth and below 300 levels, where the explicit-stack writer produces it, equals the unguarded library's text.
TYPED_TEST(JsonNestingGuard, WritesExactlyWhatTheLibraryWrites) {
    using J = TypeParam;
    const std::vector<std::string> documents = {
        R"({"b":1,"a":[1,-2,3.25,1e300,-0.0,18446744073709551615,-9223372036854775808],"c":{}})",
        R"(["Grüße ✓ \u0001 \"q\" \\ \/ \t\n", "😀", {"é": [[], {}, [[]]]}, null, true, false])",
        R"({"z":{"y":{"x":[0.1, 2.5e-8, 123456789.0]}},"a":""})",
        R"([])",
        R"("just a string")",
    };
    struct layout {
        int indent;
        char ichar;
        bool ascii;
    };
    const layout layouts[] = {{-1, ' ', false}, {0, ' ', false}, {2, ' ', false},
                              {4, '\t', false}, {-1, ' ', true}, {3, ' ', true}};
    for (const std::string& doc : documents) {
        for (const size_t levels : {size_t{0}, size_t{300}}) {
            const J value = J::parse(wrapped_text(levels, doc));
            for (const layout& l : layouts) {
                SCOPED_TRACE(doc + " levels " + std::to_string(levels) + " indent " + std::to_string(l.indent));
                EXPECT_EQ(value.dump(l.indent, l.ichar, l.ascii), reference_dump(value, l.indent, l.ichar, l.ascii));
            }
        }
    }
    // A binary value, which JSON text cannot hold, inside a deep value.
    J value = J::parse(wrapped_text(260, "0"));
    J* slot = &value;
    while (slot->is_array() || slot->is_object()) slot = slot->is_array() ? &(*slot)[2] : &(*slot)["m"];
    *slot = J::binary({1, 2, 255}, 42);
    for (const int indent : {-1, 2}) {
        EXPECT_EQ(value.dump(indent), reference_dump(value, indent, ' ', false));
    }
}

TYPED_TEST(JsonNestingGuard, DeepCopiesKeepKeyOrder) {
    using J = TypeParam;
    std::string text;
    for (int i = 0; i < 300; ++i) text += R"({"z":1,"a":2,"m":)";
    text += "0" + repeat("}", 300);
    const J value = J::parse(text);
    const J copy = value;
    EXPECT_TRUE(copy == value);
    EXPECT_EQ(copy.dump(), value.dump());
    const J* level = &copy;
    for (int i = 0; i < 250; ++i) level = &(*level)["m"];
    std::string keys;
    for (auto it = level->begin(); it != level->end(); ++it) keys += it.key();
    EXPECT_EQ(keys, (std::is_same_v<J, ordered_json> ? "zam" : "amz"));
}

TYPED_TEST(JsonNestingGuard, DeepDifferencesAreFound) {
    using J = TypeParam;
    auto chain = [](size_t levels, size_t at, const std::string& replacement) {
        std::string text;
        for (size_t i = 0; i < levels; ++i) text += i == at ? replacement : R"({"n":1,"next":)";
        return J::parse(text + "null" + repeat("}", levels));
    };
    const std::string plain = R"({"n":1,"next":)";
    const J base = chain(6000, 5000, plain);
    struct variant {
        const char* what;
        std::string replacement;
        bool equal;
    };
    const variant variants[] = {
        {"identical", plain, true},
        {"another number", R"({"n":2,"next":)", false},
        {"same number as a float", R"({"n":1.0,"next":)", true},
        {"another key", R"({"m":1,"next":)", false},
        {"one member more", R"({"n":1,"o":0,"next":)", false},
    };
    run_with_stack(one_mib, [&] {
        for (const variant& v : variants) {
            SCOPED_TRACE(v.what);
            const J other = chain(6000, 5000, v.replacement);
            EXPECT_EQ(base == other, v.equal);
            EXPECT_EQ(other == base, v.equal);
        }
        check_counters_zero<J>();
    });
}

TYPED_TEST(JsonNestingGuard, PrettyIndentGrowsTwoSpacesPerLevel) {
    using J = TypeParam;
    const J value = J::parse(repeat("[", 200) + repeat("]", 200));
    const std::string text = value.dump(2);
    size_t line_start = 0;
    for (size_t level = 0; level < 200; ++level) {
        const size_t end = text.find('\n', line_start);
        const std::string line = text.substr(line_start, end - line_start);
        ASSERT_EQ(line, std::string(2 * level, ' ') + (level == 199 ? "[]" : "[")) << "level " << level;
        line_start = end + 1;
    }
    EXPECT_EQ(text, reference_dump(value, 2, ' ', false));
}

TYPED_TEST(JsonNestingGuard, SerializerErrorsPassThroughFromDeepLevels) {
    using J = TypeParam;
    J value = J::parse(repeat("[", 400) + "0" + repeat("]", 400));
    J* slot = &value;
    while (slot->is_array()) slot = &(*slot)[0];
    *slot = std::string("bad \xC3 utf-8");
    EXPECT_THROW(value.dump(), nlohmann::json::type_error);
    EXPECT_EQ(value.dump(-1, ' ', false, J::error_handler_t::replace),
              repeat("[", 400) + "\"bad \xEF\xBF\xBD utf-8\"" + repeat("]", 400));
    check_counters_zero<J>();
}

TEST(JsonNestingGuardThreads, CountersArePerThread) {
    const json value = json::parse(repeat("[", 2000) + repeat("]", 2000));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                const json copy = value;
                EXPECT_TRUE(copy == value);
                EXPECT_EQ(copy.dump().size(), 4000u);
            }
            EXPECT_EQ(json_nesting_counter_sorted(), 0);
        });
    }
    for (auto& t : threads) t.join();
}

} // namespace
