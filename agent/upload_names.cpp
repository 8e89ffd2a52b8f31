#include "agent/upload_names.h"

#include <filesystem>

std::string clean_upload_name(std::string_view name) {
    std::string clean(name);
    for (char& c : clean) {
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) {
            c = '_';
        }
    }
    if (clean.empty() || clean == "." || clean == "..") clean = "file";
    return clean;
}

std::string upload_clash_name(const std::string& name, int n) {
    if (n <= 1) return name;
    // The usual path rules: std::filesystem gives ".env" no extension and "archive.tar.gz" the extension ".gz".
    const std::filesystem::path path(name);
    return path.stem().string() + " (" + std::to_string(n) + ")" + path.extension().string();
}
