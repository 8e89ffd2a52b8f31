// The kept fixture documents (fixtures/documents, made by make_documents.py there) and what extraction gives for
// each: shared by the in-process extraction tests and the tests of POST /agent/extract on a real serve.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

inline const std::filesystem::path documents =
    std::filesystem::path(MIVRA_SOURCE_DIR) / "tests" / "agent" / "fixtures" / "documents";

struct fixture_case {
    const char* file;
    const char* kind;
    std::string text;
    std::string note;
    int pages = -1;  // -1: no "pages"
    int width = -1;  // -1: no "width" and "height"
    int height = -1;
    double duration = -1;  // below 0: no "duration_s"
};

inline const std::string no_words_note =
    "no words found in the picture; the model cannot see pictures, so ask the user to describe it if it matters";
inline const std::string words_note = "words read from the picture with OCR; the model cannot see the picture itself";
inline const std::string media_note = "the model cannot watch video or hear audio; only its length and size are known";
inline const std::string report_pdf_text =
    "Annual summary of the garden club\r\n"
    "Members planted (about) forty trees\nand cleaned the pond.\r\n"
    "Costs: Apples, seeds \\ tools\r\n"
    // The second page spaces its words with a kerning number inside TJ, which is no text.
    "Second page lists thevolunteers by name.\r\n";

inline const std::vector<fixture_case> fixture_cases = {
    // Body, then the footnote; "&amp;" decoded, tab marks kept.
    {"report.docx", "docx", "Quarterly report\nSales & costs rose this year.\nRegion\tNorth\n\n\tFigures are rounded.",
     ""},
    {"slides.pptx", "pptx",
     "--- Slide 1 ---\nOpening\nFirst slide text\n\n--- Slide 2 ---\nMiddle\nSecond slide text\n\n"
     "--- Slide 10 ---\nClosing\nLast slide text",
     "", 3},
    // A1 and C1 with B1 empty; a formula's stored result; an inline string after a gap.
    {"gaps.xlsx", "xlsx", "--- Sheet: Gaps ---\r\nleft\t\tright\r\n3.5\t7\t\tinline\r\n", "", 1},
    {"report.odt", "odt", "Quarterly report\nSales & costs rose1Figures are rounded.\n this year.\nRegion\tNorth", ""},
    {"gaps.ods", "ods", "left\nright\n3.5\n7", ""},
    {"slides.odp", "odp", "Opening\nFirst slide text\nMiddle\nSecond slide text\nClosing\nLast slide text", ""},
    {"report.pdf", "pdf", report_pdf_text, "text taken from the PDF", 2},
    {"report-flate.pdf", "pdf", report_pdf_text, "text taken from the PDF", 2},
    // 14 letters of its own: too few to trust, so the page is read with OCR.
    {"short.pdf", "pdf", "--- Page 1 ---\r\nFifteen letters\r\n",
     "scanned PDF: read with OCR (1 of 1 pages); check names and numbers", 1},
    {"scanned.pdf", "pdf",
     "--- Page 1 ---\r\nScanned invoice\nTotal due 42 euros\r\n--- Page 2 ---\r\nSecond scanned page\r\n",
     "scanned PDF: read with OCR (2 of 2 pages); check names and numbers", 2},
    {"words.png", "image", "Hello from the picture", words_note, -1, 520, 90},
    {"blank.png", "image", "", no_words_note, -1, 64, 48},
    // Stored 120 x 480 with EXIF orientation 6: the size as stored, the words read upright.
    {"rotated.jpg", "image", "Turned text", words_note, -1, 120, 480},
    // 1.25 s exactly: halves round to the even digit.
    {"clip.mp4", "media", "", media_note, -1, 160, 120, 1.2},
    // Its cover picture is no frame size.
    {"song.mp3", "media", "", media_note, -1, -1, -1, 1.5},
    // The document part declares 3 GB and is skipped; the honest footnotes part is read.
    {"bomb.docx", "docx", "visible footnote", ""},
};

// Checks an extraction result against its case: kind, text, note, the facts of its kind, and no other members than
// those and `keys` (members a caller adds, such as "name").
inline void expect_fixture_result(const fixture_case& c, const nlohmann::json& result, std::set<std::string> keys = {}) {
    keys.insert({"kind", "text", "note"});
    EXPECT_EQ(result["kind"], c.kind);
    EXPECT_EQ(result["text"], c.text);
    EXPECT_EQ(result["note"], c.note);
    if (c.pages >= 0) {
        keys.insert("pages");
        EXPECT_EQ(result["pages"], c.pages);
    }
    if (c.width >= 0) {
        keys.insert({"width", "height"});
        EXPECT_EQ(result["width"], c.width);
        EXPECT_EQ(result["height"], c.height);
    }
    if (c.duration >= 0) {
        keys.insert("duration_s");
        EXPECT_DOUBLE_EQ(result["duration_s"].get<double>(), c.duration);
    }
    std::set<std::string> present;
    for (auto it = result.begin(); it != result.end(); ++it) present.insert(it.key());
    EXPECT_EQ(present, keys);
}
