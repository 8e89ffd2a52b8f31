// Serving files below a root folder: the content-type table and every way a path could leave the root.
#include "agent/static_files.h"

#include <gtest/gtest.h>

#include "fixtures/temp_folder.h"

namespace fs = std::filesystem;

TEST(StaticFiles, ContentTypesByExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {".html", "text/html; charset=utf-8"}, {".HTM", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"}, {".json", "application/json"},
        {".svg", "image/svg+xml"},             {".PNG", "image/png"},
        {".jpg", "image/jpeg"},                {".JpEg", "image/jpeg"},
        {".gif", "image/gif"},                 {".webp", "image/webp"},
        {".ico", "image/x-icon"},              {".txt", "text/plain; charset=utf-8"},
        {".md", "text/plain; charset=utf-8"},  {".woff2", "font/woff2"},
        {".woff", "font/woff"},                {".mp4", "video/mp4"},
        {".wasm", "application/wasm"},         {".bin", "application/octet-stream"},
        {"", "application/octet-stream"},      {".", "application/octet-stream"},
        {".htmlx", "application/octet-stream"}, {".ÄPNG", "application/octet-stream"},
    };
    for (const auto& [extension, type] : cases) EXPECT_EQ(mime_type_for(extension), type) << extension;
}

// A root with files, a subsite, and links that lead out of it.
struct served_root {
    temp_folder dir;
    fs::path root = dir / "root";
    served_root() {
        fs::create_directories(root / "site");
        fs::create_directories(root / "empty");
        fs::create_directories(root / "trap");
        fs::create_directories(dir / "outside");
        write_text(root / "logo.PNG", "png bytes");
        write_text(root / "data.bin", "bin");
        write_text(root / ".htaccess", "dot");
        write_text(root / "index.html", "root index");
        write_text(root / "site" / "index.html", "site index");
        write_text(root / "a b.txt", "spaced");
        write_text(dir / "outside" / "secret.txt", "secret");
        write_text(dir / "secret.json", "secret");
        fs::create_symlink(dir / "outside" / "secret.txt", root / "link.txt");
        fs::create_symlink(dir / "outside", root / "linked-folder");
        fs::create_symlink(dir / "outside" / "secret.txt", root / "trap" / "index.html");
        fs::create_symlink(root / "site" / "index.html", root / "inner-link.html");
        fs::create_symlink(root / "loop", root / "loop");
    }
};

struct served {
    int status;
    std::string body;
    std::string type;
    std::string cache;
};

served serve(const fs::path& root, const std::string& relative) {
    httplib::Response res;
    serve_file_below(root, relative, res);
    return {res.status, res.body, res.get_header_value("Content-Type"), res.get_header_value("Cache-Control")};
}

TEST(StaticFiles, ServesFilesFoldersAndIndexPages) {
    served_root r;
    served s = serve(r.root, "logo.PNG");
    EXPECT_EQ(s.status, 200);
    EXPECT_EQ(s.body, "png bytes");
    EXPECT_EQ(s.type, "image/png");
    EXPECT_EQ(s.cache, "no-cache");
    EXPECT_EQ(serve(r.root, "data.bin").type, "application/octet-stream");
    EXPECT_EQ(serve(r.root, ".htaccess").type, "application/octet-stream");
    EXPECT_EQ(serve(r.root, "a b.txt").body, "spaced");
    EXPECT_EQ(serve(r.root, "site/").body, "site index");
    EXPECT_EQ(serve(r.root, "site").body, "site index");
    EXPECT_EQ(serve(r.root, "site/../logo.PNG").body, "png bytes");
    EXPECT_EQ(serve(r.root, "inner-link.html").body, "site index");  // a link that stays inside is fine
    EXPECT_EQ(serve(r.root / "site" / "..", "logo.PNG").body, "png bytes");
    EXPECT_EQ(serve(fs::path(r.root.string() + "/"), "logo.PNG").body, "png bytes");

    for (const char* missing : {"nothing.html", "empty", "empty/", "site/nothing/deeper.txt"}) {
        s = serve(r.root, missing);
        EXPECT_EQ(s.status, 404) << missing;
        EXPECT_EQ(s.body, "not found") << missing;
        EXPECT_EQ(s.type, "text/plain") << missing;
    }
}

TEST(StaticFiles, PathsThatLeaveTheRootGetAnEmpty404) {
    served_root r;
    const std::string cases[] = {
        "",                         // the root itself
        ".",
        "./",
        "site/..",
        "../secret.json",
        "site/../../secret.json",
        (r.dir / "secret.json").string(),  // absolute
        "/etc/passwd",
        "link.txt",                 // a link to a file outside
        "linked-folder/secret.txt", // through a linked folder
        "trap/",                    // a folder whose index.html leads outside
        "trap",
        "loop",                     // a link that cannot be resolved
        std::string("index.html\0.txt", 15),
        std::string("\0", 1),
    };
    for (const std::string& relative : cases) {
        const served s = serve(r.root, relative);
        EXPECT_EQ(s.status, 404) << relative;
        EXPECT_EQ(s.body, "") << relative;
    }
    EXPECT_EQ(serve(fs::path(), "index.html").status, 404);  // no root: never the current folder
    EXPECT_EQ(serve(fs::path(), "index.html").body, "");
}
