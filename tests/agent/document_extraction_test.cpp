// Document extraction through the real script: each kept fixture document (tests/agent/fixtures/documents, made by
// make_documents.py there) goes through extract_document_text with a real python3, poppler, tesseract and ffprobe.
#include "agent/document_extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "document_fixtures.h"
#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> names_in(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

std::string error_of(const fs::path& file, const fs::path& tmp, const extraction_limits& limits = {}) {
    try {
        extract_document_text(file, tmp, limits);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(DocumentKind, ExtensionsCaseBlindWithTheirKinds) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Report.PDF", "pdf"},      {"notes.DOCX", "docx"},  {"macro.xlsm", "xlsx"},   {"a.docm", "docx"},
        {"deck.pptm", "pptx"},      {"b.odt", "odt"},        {"c.ods", "ods"},         {"d.odp", "odp"},
        {"photo.HEIC", "image"},    {"icon.ico", "image"},   {"scan.TIFF", "image"},   {"talk.mkv", "media"},
        {"voice.m4a", "media"},     {"old.DOC", "old"},      {"sheet.xls", "old"},     {"deck.ppt", "old"},
        {"Makefile", ""},           {"data.csv", ""},        {"archive.tar.gz", ""},   {"dir.pdf/notes", ""},
        {".pdf", ""},               {"trailing.", ""},
    };
    for (const auto& [name, kind] : cases) EXPECT_EQ(document_kind(name), kind) << name;
}

TEST(DocumentExtraction, PlainFilesAreReadDirectly) {
    temp_folder folder;
    const fs::path tmp = folder / "tmp";

    write_text(folder / "data.csv", "a,b\r\n1,2\r\n");
    nlohmann::json csv = extract_document_text(folder / "data.csv", tmp);
    EXPECT_EQ(csv, (nlohmann::json{{"kind", "text"}, {"text", "a,b\r\n1,2\r\n"}}));
    write_text(folder / "Makefile", "all:\n\techo hi\n");
    EXPECT_EQ(extract_document_text(folder / "Makefile", tmp)["text"], "all:\n\techo hi\n");

    // A NUL past the first 8000 bytes is text (and comes back as it is); one early on makes a binary file.
    std::string late(10000, 'x');
    late[9000] = '\0';
    write_text(folder / "late.txt", late);
    EXPECT_EQ(extract_document_text(folder / "late.txt", tmp)["text"], late);
    std::string early = late;
    early[10] = '\0';
    write_text(folder / "early.txt", early);
    EXPECT_EQ(error_of(folder / "early.txt", tmp), "this is a binary file Mivra can't turn into text");

    std::string big(1000000, 'y');
    big[399999] = 'z';
    big[400000] = 'w';
    write_text(folder / "big.log", big);
    std::string text = extract_document_text(folder / "big.log", tmp)["text"];
    EXPECT_EQ(text.size(), 400000u);
    EXPECT_EQ(text.back(), 'z');

    EXPECT_FALSE(fs::exists(tmp)) << "text files need no script";
}

TEST(DocumentExtraction, RefusalsCarryTheirTexts) {
    temp_folder folder;
    const fs::path tmp = folder / "tmp";
    fs::create_directory(folder / "sub.pdf");
    write_text(folder / "old.DOC", "whatever");
    const std::vector<std::pair<fs::path, std::string>> cases = {
        {folder / "missing.txt", "no such file: " + (folder / "missing.txt").string()},
        {folder / "sub.pdf", "no such file: " + (folder / "sub.pdf").string()},
        {folder / "old.DOC", "old Office format (.DOC): open it in Word / Excel / PowerPoint and save it as "
                             ".docx / .xlsx / .pptx"},
        {documents / "old.doc", "old Office format (.doc): open it in Word / Excel / PowerPoint and save it as "
                                ".docx / .xlsx / .pptx"},
        {documents / "garbage.docx", "File is not a zip file"},
    };
    for (const auto& [file, text] : cases) EXPECT_EQ(error_of(file, tmp), text) << file;
    EXPECT_EQ(names_in(tmp), std::set<std::string>{"extract.py"});
}

TEST(DocumentExtraction, FixturesGiveTheirTextAndFacts) {
    temp_folder folder;
    const fs::path tmp = folder / "tmp";
    for (const fixture_case& c : fixture_cases) {
        SCOPED_TRACE(c.file);
        expect_fixture_result(c, extract_document_text(documents / c.file, tmp));
    }
    EXPECT_EQ(names_in(tmp), std::set<std::string>{"extract.py"});
}

TEST(DocumentExtraction, SheetsStopAtFiveThousandRowsAndNameTheUnnamed) {
    temp_folder folder;
    nlohmann::json result = extract_document_text(documents / "big.xlsx", folder / "tmp");
    const std::string text = result["text"];
    EXPECT_EQ(result["pages"], 3);
    std::string expected = "--- Sheet: Numbers ---\r\n";
    for (int row = 1; row <= 5000; ++row) expected += std::to_string(row) + "\r\n";
    expected += "[... more rows]\r\n--- Sheet: Second ---\r\nonly cell\r\n--- Sheet: Sheet3 ---\r\nthird sheet\r\n";
    EXPECT_EQ(text, expected);
}

TEST(DocumentExtraction, LongTextIsClippedWithoutSplittingASurrogatePair) {
    temp_folder folder;
    // 399999 letters, then a character of two UTF-16 units across the limit.
    nlohmann::json result = extract_document_text(documents / "long.docx", folder / "tmp");
    EXPECT_EQ(result["text"], std::string(399999, 'a') + "\n[... cut]");
}

TEST(DocumentExtraction, ScannedPdfReadsAtMostFortyPages) {
    temp_folder folder;
    nlohmann::json result = extract_document_text(documents / "many-pages.pdf", folder / "tmp");
    EXPECT_EQ(result["pages"], 42);
    EXPECT_EQ(result["note"], "scanned PDF: read with OCR (40 of 42 pages); check names and numbers");
    std::string expected;
    for (int page = 1; page <= 40; ++page) expected += "--- Page " + std::to_string(page) + " ---\r\nPage\r\n";
    EXPECT_EQ(result["text"], expected);
    EXPECT_EQ(names_in(folder / "tmp"), std::set<std::string>{"extract.py"});
}

TEST(DocumentExtraction, HostileDocumentsAreReadRatherThanStopped) {
    // Unclosed strings, text objects without an end and dictionaries that never close: a scanner that retries
    // every start over the rest of the stream takes many minutes on these few hundred kilobytes.
    std::string pdf = "%PDF-1.4\n";
    for (int i = 0; i < 20000; ++i) pdf += "9 0 obj<<";
    pdf += "\n1 0 obj << >>\nstream\nBT " + std::string(200000, '(') + " ET\n";
    for (int i = 0; i < 30000; ++i) pdf += "BT (x) Tj ";
    pdf += "\nendstream\nendobj\n2 0 obj << >>\nstream\nBT (Readable words here and more letters) Tj ET\n"
           "endstream\nendobj\n";
    temp_folder folder;
    write_text(folder / "hostile.pdf", pdf);
    extraction_limits limits;
    limits.time_limit = std::chrono::seconds(120);
    nlohmann::json result = extract_document_text(folder / "hostile.pdf", folder / "tmp", limits);
    EXPECT_EQ(result["text"], "Readable words here and more letters\r\n");
    EXPECT_EQ(result["note"], "text taken from the PDF");
    EXPECT_FALSE(result.contains("pages"));

    // The same for markup: 100000 "<w:br" and 200000 "<" that no ">" closes.
    result = extract_document_text(documents / "hostile.docx", folder / "tmp", limits);
    EXPECT_EQ(result["text"], "Readable\n" + std::string(200000, '<'));
}

TEST(DocumentExtraction, FileNamesAreNeverCode) {
    temp_folder folder;
    const fs::path tmp = folder / "tmp";
    const fs::path cwd = fs::current_path();
    const std::vector<std::pair<std::string, std::string>> names = {
        {"it\u2019s \u2018quoted\u2019.png", "words.png"},
        {"$(touch pwned).png", "words.png"},
        {"`touch pwned`; touch pwned '\" x.docx", "report.docx"},
        {"-v $(touch pwned).pdf", "report.pdf"},
        {"concat:$(touch pwned)|x.mp4", "clip.mp4"},
    };
    for (const auto& [name, source] : names) {
        SCOPED_TRACE(name);
        fs::copy_file(documents / source, folder / name);
        nlohmann::json result = extract_document_text(folder / name, tmp);
        nlohmann::json expected = extract_document_text(documents / source, tmp);
        EXPECT_EQ(result, expected);
    }
    fs::create_symlink(documents / "report.pdf", folder / "link.pdf");
    EXPECT_EQ(extract_document_text(folder / "link.pdf", tmp)["text"], report_pdf_text);
    for (const fs::path& where : {folder.path, tmp, cwd, documents})
        EXPECT_FALSE(fs::exists(where / "pwned")) << where;
}

TEST(DocumentExtraction, ConcurrentRunsShareOneWholeScript) {
    temp_folder folder;
    const fs::path tmp = folder / "fresh" / "tmp";
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            try {
                if (extract_document_text(documents / "slides.pptx", tmp)["pages"] == 3) ++good;
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(good.load(), 4);
    EXPECT_EQ(names_in(tmp), std::set<std::string>{"extract.py"});
    EXPECT_EQ(read_text(tmp / "extract.py"), read_text(fs::path(MIVRA_SOURCE_DIR) / "agent" / "extract_document.py"))
        << "the built-in script is older than agent/extract_document.py";

    // A script removed behind the program's back is put back by the next run.
    fs::remove(tmp / "extract.py");
    EXPECT_EQ(extract_document_text(documents / "gaps.ods", tmp)["text"], "left\nright\n3.5\n7");
}

TEST(DocumentExtraction, TimeLimitKillsTheWholeRun) {
    temp_folder folder;
    const fs::path tmp = folder / "tmp";
    extraction_limits limits;
    limits.time_limit = std::chrono::milliseconds(1500);
    // Forty pages of OCR take far longer: the run is stopped in the middle, in a renderer or in tesseract.
    EXPECT_EQ(error_of(documents / "many-pages.pdf", tmp, limits), "could not read the file: ");
    EXPECT_EQ(names_in(tmp), std::set<std::string>{"extract.py"}) << "the run's page folder is removed";
}

TEST(DocumentExtraction, AMemoryLimitTooSmallForPythonReportsItsOutput) {
    temp_folder folder;
    extraction_limits limits;
    limits.address_space_bytes = 12ull << 20;  // not even enough to load the interpreter
    const std::string error = error_of(documents / "long.docx", folder / "tmp", limits);
    ASSERT_EQ(error.rfind("could not read the file: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::string("could not read the file: ").size()) << "Python's complaint is shown";
    EXPECT_LE(error.size(), std::string("could not read the file: ").size() + 600 + 40);
}

}  // namespace

namespace {

TEST(PostedDocument, NamesAreCleanedLikeUploads) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a/b:c.pdf", "a_b_c.pdf"}, {"", "file"}, {".", "file"}, {"..", "file"}, {"...", "..."},
        {"x\ty?*\"<>|\\.txt", "x_y_______.txt"}, {"caf\u00e9 \u2019.png", "caf\u00e9 \u2019.png"},
        {std::string("nul\0x", 5), "nul_x"},
    };
    for (const auto& [name, clean] : cases) EXPECT_EQ(clean_posted_name(name), clean) << name;
}

TEST(PostedDocument, ExtractsTheBodyAndLeavesNoFolderBehind) {
    temp_folder folder;
    const fs::path tmp = folder / "tmp";
    const std::string pdf = read_text(documents / "report.pdf");
    nlohmann::json result = extract_posted_document("a/b:c.pdf", pdf, tmp);
    EXPECT_EQ(result["name"], "a_b_c.pdf");
    EXPECT_EQ(result["kind"], "pdf");
    EXPECT_EQ(result["text"], report_pdf_text);
    EXPECT_EQ(names_in(tmp), std::set<std::string>{"extract.py"});

    EXPECT_EQ(extract_posted_document("", "plain words", tmp),
              (nlohmann::json{{"kind", "text"}, {"text", "plain words"}, {"name", "file"}}));
    EXPECT_EQ(extract_posted_document("..", "dots", tmp)["name"], "file");

    const std::vector<std::tuple<std::string, std::string, std::string>> failures = {
        {"broken.docx", read_text(documents / "garbage.docx"), "File is not a zip file"},
        {"bytes.bin", std::string("\0\1\2", 3), "this is a binary file Mivra can't turn into text"},
        {"old.xls", "", "old Office format (.xls): open it in Word / Excel / PowerPoint and save it as "
                        ".docx / .xlsx / .pptx"},
    };
    for (const auto& [name, body, text] : failures) {
        try {
            extract_posted_document(name, body, tmp);
            ADD_FAILURE() << name << " was extracted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
        EXPECT_EQ(names_in(tmp), std::set<std::string>{"extract.py"}) << name;
    }
}

TEST(PostedDocument, ABodyThatCannotBeStoredIsAnErrorNotAnEmptyFile) {
    temp_folder folder;
    const fs::path tmp = folder / "tmp";
    const std::string name = std::string(300, 'n') + ".txt";  // longer than a file name may be
    try {
        extract_posted_document(name, "some text", tmp);
        ADD_FAILURE() << "stored";
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("cannot write " + tmp.string() + "/", 0), 0u) << text;
        EXPECT_EQ(text.substr(text.size() - name.size()), name);
    }
    EXPECT_TRUE(names_in(tmp).empty());
}

TEST(ReadDocumentPage, PagesOfTwentyThousandBytes) {
    nlohmann::json document = {{"kind", "pdf"}, {"text", std::string(45000, 'p')}, {"note", "n"}, {"pages", 9}};
    nlohmann::json first = read_document_page(document, 0, "/p/doc.pdf");
    EXPECT_EQ(first["text"].get<std::string>().size(), 20000u);
    EXPECT_EQ(first["more"], "read again with offset 20000");
    EXPECT_EQ(first["total_characters"], 45000);
    EXPECT_EQ(first["path"], "/p/doc.pdf");
    EXPECT_EQ(first["pages"], 9);
    EXPECT_EQ(first["note"], "n");
    EXPECT_EQ(read_document_page(document, -7, "x")["more"], "read again with offset 20000");

    nlohmann::json last = read_document_page(document, 40000, "x");
    EXPECT_EQ(last["text"].get<std::string>().size(), 5000u);
    EXPECT_FALSE(last.contains("more"));
    for (int64_t offset : {int64_t(45000), int64_t(45001), INT64_MAX}) {
        try {
            read_document_page(document, offset, "x");
            ADD_FAILURE() << offset;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "offset is past the end (45000 characters)");
        }
    }

    for (const nlohmann::json& empty : {nlohmann::json{{"kind", "image"}, {"text", ""}}, nlohmann::json{{"kind", "x"}}}) {
        nlohmann::json page = read_document_page(empty, 500, "x");
        EXPECT_EQ(page["text"], "");
        EXPECT_EQ(page["total_characters"], 0);
        EXPECT_FALSE(page.contains("more"));
    }
}

}  // namespace
