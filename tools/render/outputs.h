// The image files taluna-render writes: kinds by extension, numbered frame patterns, and writing a file
// so that it appears complete or not at all.
#pragma once

#include <string>
#include <vector>

#include "common/taluna_loader.h"

namespace taluna::render {

enum class ImageKind { Png, Exr, Unknown };

// By the file name's extension, any case: .png or .exr.
ImageKind imageKindOf(const std::string& path);

// An output path with at most one printf-style integer conversion (%d, %i or %u with optional flags
// "-+ 0" and a width of up to two digits, e.g. %04d) that the frame number replaces; "%%" stands for "%".
class OutputPattern {
public:
    // Returns false with a message when a '%' starts anything but a conversion above or "%%", or when
    // there is more than one conversion.
    bool parse(const std::string& text, std::string* error);

    bool numbered() const { return numbered_; }
    const std::string& text() const { return text_; }
    ImageKind kind() const { return kind_; }
    // The path of frame `frame` (the literal path, "%%" undone, when the pattern has no conversion).
    std::string path(long frame) const;

private:
    std::string text_, prefix_, suffix_;
    std::string numberFormat_;  // the printf format of the frame number, e.g. "%04d"
    bool numbered_ = false;
    ImageKind kind_ = ImageKind::Unknown;
};

// Writes the image (width * height linear premultiplied RGBA floats) to `path`, making missing folders,
// through a neighbouring temporary file that is renamed into place, so an interrupted run never leaves a
// partial image under the final name. Returns false with a message on failure.
bool writeImage(const Api& api, const std::string& path, ImageKind kind, int width, int height, const float* rgba,
                bool sixteenBitPng, std::string* error);

}  // namespace taluna::render
