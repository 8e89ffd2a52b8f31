// What the server's log lines quote of a library's message: one line, of bounded length, whole characters.
#include <gtest/gtest.h>

#include "server/reply_helpers.h"

TEST(LogDetail, FirstLineOfBoundedLength) {
    const std::string long_text(log_detail_limit + 40, 'x');
    const std::string euro = "\xE2\x82\xAC";
    std::string euros;  // the limit falls inside a character
    while (euros.size() <= log_detail_limit) euros += euro;
    const struct {
        std::string message, detail;
    } rows[] = {
        {"The output does not match the format", "The output does not match the format"},
        {"Failed to parse input at pos 12: the reply\nthe user's next line\n", "Failed to parse input at pos 12: the reply..."},
        {"first\r\nsecond", "first..."},
        {"one line\n", "one line"},
        {"\nall of it after a line break", "..."},
        {long_text, long_text.substr(0, log_detail_limit) + "..."},
        {std::string(log_detail_limit, 'y'), std::string(log_detail_limit, 'y')},
        {euros, euros.substr(0, log_detail_limit / 3 * 3) + "..."},
        {"", ""},
    };
    for (const auto& r : rows) EXPECT_EQ(log_detail(r.message), r.detail) << r.message;
}
