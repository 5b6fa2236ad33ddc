#include "render/outputs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace taluna::render {

ImageKind imageKindOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return ImageKind::Unknown;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (ext == "png") return ImageKind::Png;
    if (ext == "exr") return ImageKind::Exr;
    return ImageKind::Unknown;
}

bool OutputPattern::parse(const std::string& text, std::string* error) {
    *this = OutputPattern();
    text_ = text;
    std::string* piece = &prefix_;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *piece += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '%') {
            *piece += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < text.size() && std::strchr("-+ 0", text[j])) ++j;
        size_t digits = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9' && digits < 2) ++j, ++digits;
        if (j >= text.size() || !std::strchr("diu", text[j])) {
            *error = "bad frame number pattern in \"" + text + "\": a '%' must start a conversion such as %04d "
                     "(or be written %%)";
            return false;
        }
        if (numbered_) {
            *error = "more than one frame number conversion in \"" + text + "\"";
            return false;
        }
        numbered_ = true;
        // Always formatted as %d: the frame number is never negative, so i and u print the same.
        numberFormat_ = text.substr(i, j - i) + "d";
        piece = &suffix_;
        i = j;
    }
    kind_ = imageKindOf(numbered_ ? prefix_ + "0" + suffix_ : prefix_);
    return true;
}

std::string OutputPattern::path(long frame) const {
    if (!numbered_) return prefix_;
    char number[128];
    // numberFormat_ holds flags, a width of at most two digits and 'd': nothing else reaches the format,
    // and the number fits the buffer.
    std::snprintf(number, sizeof number, numberFormat_.c_str(), static_cast<int>(frame));
    return prefix_ + number + suffix_;
}

bool writeImage(const Api& api, const std::string& path, ImageKind kind, int width, int height, const float* rgba,
                bool sixteenBitPng, std::string* error) {
    // Sequences usually go to a folder of their own: missing folders are made.
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec) &&
        !std::filesystem::create_directories(folder, ec)) {
        *error = "could not write " + path + ": cannot make the folder " + folder.string() +
                 (ec ? ": " + ec.message() : "");
        return false;
    }
    const std::string partial = path + ".partial";
    errno = 0;
    const int failed = kind == ImageKind::Png ? api.savePNG(partial.c_str(), width, height, rgba, sixteenBitPng ? 1 : 0)
                                              : api.saveEXR(partial.c_str(), width, height, rgba);
    if (failed) {
        // The writers give no reason; the usual one is a folder that is missing or not writable.
        const int e = errno;
        std::remove(partial.c_str());
        *error = "could not write " + path + (e ? std::string(" (") + std::strerror(e) + ")" : "");
        return false;
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        *error = "could not write " + path + ": " + std::strerror(errno);
        std::remove(partial.c_str());
        return false;
    }
    return true;
}

}  // namespace taluna::render
