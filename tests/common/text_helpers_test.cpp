#include "common/text_helpers.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace std::string_literals;

TEST(TextHelpers, Utf16Conversion) {
    EXPECT_EQ(utf8_from_wide(u""), "");
    EXPECT_EQ(wide_from_utf8(""), u"");
    EXPECT_EQ(utf8_from_wide(u"\xD800"), "\xEF\xBF\xBD");                   // lone high surrogate
    EXPECT_EQ(utf8_from_wide(u"a\xDC00" "b"), "a\xEF\xBF\xBD" "b");          // lone low surrogate
    EXPECT_EQ(utf8_from_wide(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");          // a pair makes one character
    EXPECT_EQ(wide_from_utf8("\xC3\x28"), u"\xFFFD(");
    EXPECT_EQ(wide_from_utf8("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
    EXPECT_EQ(utf8_from_wide(wide_from_utf8("Grüße")), "Grüße");
    EXPECT_EQ(wide_from_utf8("a\0b"s), u"a\0b"s);                            // embedded zero kept
    EXPECT_EQ(utf8_from_wide(u"a\0b"s), "a\0b"s);
    // Ill-formed input: each maximal invalid subpart becomes one U+FFFD.
    EXPECT_EQ(wide_from_utf8("\xE2\x82" "A"), u"\xFFFD" "A");                // truncated three-byte sequence
    EXPECT_EQ(wide_from_utf8("\xC0\x80"), u"\xFFFD\xFFFD");                  // overlong
    EXPECT_EQ(wide_from_utf8("\xED\xA0\x80"), u"\xFFFD\xFFFD\xFFFD");        // encoded surrogate
    EXPECT_EQ(wide_from_utf8("\xF4\x90\x80\x80"), u"\xFFFD\xFFFD\xFFFD\xFFFD"); // beyond U+10FFFF
    EXPECT_EQ(wide_from_utf8("\xFF" "x\x80"), u"\xFFFD" "x\xFFFD");
}

TEST(TextHelpers, RandomHexIds) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string id = random_hex_id();
        ASSERT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(TextHelpers, Base64) {
    const std::pair<std::string, std::string> encoded[] = {
        {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"\xff\xfe\xfd\x00"s, "//79AA=="}};
    for (const auto& [plain, text] : encoded) {
        EXPECT_EQ(base64_encode(plain), text);
        EXPECT_EQ(base64_decode(text), plain);
    }
    const std::pair<std::string, std::string> lenient[] = {
        {"YW Jj\n", "abc"}, {"Y", ""}, {"YW", "a"}, {"Y-W_Jj", "abc"}, {"Y\0WJj"s, "abc"}, {"====", ""}};
    for (const auto& [text, plain] : lenient) EXPECT_EQ(base64_decode(text), plain) << text;
}

TEST(TextHelpers, PercentAndFormEncoding) {
    const std::pair<std::string, std::string> decoded[] = {
        {"a+b%20c", "a b c"}, {"100%", "100%"}, {"%zz", "%zz"}, {"%4", "%4"}, {"%41", "A"}, {"%c3%BC", "ü"},
        {"%%41", "%A"}};
    for (const auto& [text, plain] : decoded) EXPECT_EQ(percent_decode(text), plain) << text;
    EXPECT_EQ(query_encode("a b&c/ü"), "a+b%26c%2F%C3%BC");
    EXPECT_EQ(query_encode("AZaz09-._~"), "AZaz09-._~");
    const std::pair<std::string, std::string> paths[] = {
        {"skills/my skill/SKILL.md", "skills/my%20skill/SKILL.md"}, {"/a//b/", "a//b"}, {"", ""},
        {"//a", "a"}, {"a/", "a"}, {"ü+?", "%C3%BC%2B%3F"}};
    for (const auto& [text, path] : paths) EXPECT_EQ(encode_url_path(text), path) << text;
}

TEST(TextHelpers, CutMiddle) {
    const std::string text = "abcdefghijklmnopqrstuvwxyz0123"; // 30 bytes
    EXPECT_EQ(cut_middle(text, 10), "abcde\n[... 20 characters cut ...]\n" "z0123");
    EXPECT_EQ(cut_middle(text, 30), text);
    EXPECT_EQ(cut_middle(text, 100), text);
    EXPECT_EQ(cut_middle(text, 11), "abcde\n[... 20 characters cut ...]\n" "z0123"); // odd limit: halves
    EXPECT_EQ(cut_middle("ab", 0), "\n[... 2 characters cut ...]\n");
}

TEST(TextHelpers, GlobMatch) {
    struct row {
        const char* pattern;
        const char* name;
        bool match;
    };
    const row rows[] = {
        {"*.TXT", "notes.txt", true}, {"a?c", "abc", true},     {"a?c", "ac", false},      {"*", "", true},
        {"", "", true},               {"", "a", false},         {"a*b*c", "axxbyyc", true}, {"a*b*c", "axxbyy", false},
        {"**", "anything/at all", true}, {"*.md", "dir/x.md", true}, {"a*", "A", true},     {"*x", "xyx", true},
        {"a\\*", "a*", false},        {"*a*", "bab", true},     {"?", "", false},          {"ab", "abc", false}};
    for (const row& r : rows) EXPECT_EQ(glob_match(r.pattern, r.name), r.match) << r.pattern << " " << r.name;
}

TEST(TextHelpers, NulAndSlashSplitting) {
    EXPECT_FALSE(contains_nul(""));
    EXPECT_FALSE(contains_nul("abc"));
    EXPECT_TRUE(contains_nul("a\0b"s));
    EXPECT_EQ(split_slash("a//b/"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(split_slash("/"), (std::vector<std::string>{""}));
    EXPECT_EQ(split_slash(""), (std::vector<std::string>{}));
    EXPECT_EQ(split_slash("/x"), (std::vector<std::string>{"", "x"}));
    std::vector<std::string> parts{"keep"};
    split_slash_nonempty("/a//b/", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{"keep", "a", "b"}));
}

} // namespace
