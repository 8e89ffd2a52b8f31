// The built-in chat page as the program holds it: one self-contained document that loads nothing from anywhere
// else, with the token placeholder in its "mivra-token" field only.
#include <gtest/gtest.h>

#include <string>

#include "agent/chat_page.h"

namespace {

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

TEST(ChatPage, IsOneSelfContainedDocumentWithTheTokenPlaceholderInItsField) {
    const std::string page = chat_page;
    EXPECT_EQ(page.rfind("<!doctype html>", 0), 0u);
    EXPECT_EQ(count_of(page, "{{MIVRA_TOKEN}}"), 1);
    EXPECT_NE(page.find("<meta name=\"mivra-token\" content=\"{{MIVRA_TOKEN}}\">"), std::string::npos);
    // Nothing that would make the browser fetch another file: scripts, style sheets, fonts, pictures, frames.
    for (const char* outside : {"<script src", "<link", "@import", "url(", "<iframe", "http://", "https://", "//cdn"}) {
        EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    }
    EXPECT_EQ(count_of(page, "<script"), 1);
    EXPECT_EQ(count_of(page, "<style"), 1);
}

}  // namespace
