// The image files taluna-render writes: kinds by extension, numbered frame patterns, and writing a file
// so that it appears complete or not at all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

// How EXR files are written: None through the library's own writer (tlSaveEXR), ZIP and PIZ through the
// OpenEXR library where the tool was built with it.
enum class ExrCompression { None, Zip, Piz };

// "none", "zip" or "piz"; false for anything else, and for zip and piz in a build without OpenEXR.
bool parseExrCompression(const std::string& text, ExrCompression* out);

struct ImageFormat {
    bool sixteenBitPng = false;
    ExrCompression exr = ExrCompression::None;
};

// Writes the image (width * height linear premultiplied RGBA floats) to `path`, making missing folders,
// through a neighbouring temporary file that is renamed into place, so an interrupted run never leaves a
// partial image under the final name. Returns false with a message on failure. Safe to call from several
// threads at once.
bool writeImage(const Api& api, const std::string& path, ImageKind kind, int width, int height, const float* rgba,
                const ImageFormat& format, std::string* error);

// Encodes and writes a sequence's frames on `jobs` threads while the caller renders the next ones. At most
// `jobs` frames are in flight (rendering or being written), each in a buffer of its own, so memory stays
// at `jobs` images. After the first failed write no further frames are taken, and the frames waiting are
// dropped.
class FrameWriters {
public:
    using Image = std::vector<TLFloat4>;
    using Clock = std::chrono::steady_clock;
    // Writes one frame's files; returns false with a message. Called on the worker threads.
    using Write = std::function<bool(int frame, const Image& image, std::vector<std::string>* written,
                                     std::string* error)>;
    // Called for each written frame in the order the frames were submitted, one call at a time.
    using Written = std::function<void(int frame, Clock::time_point started, const std::vector<std::string>& files)>;

    FrameWriters(int jobs, size_t pixels, Write write, Written written);
    ~FrameWriters();  // finish()
    FrameWriters(const FrameWriters&) = delete;
    FrameWriters& operator=(const FrameWriters&) = delete;

    // A buffer for the next frame, waiting while `jobs` frames are in flight; nullptr once a write failed.
    Image* acquire();
    // Hands a frame rendered into an acquired buffer to the writers; `started` is when its work began.
    void submit(int frame, Image* image, Clock::time_point started);
    // Gives back an acquired buffer that holds no frame (its render failed).
    void release(Image* image);
    // Waits for the frames submitted and stops the threads. False with the first failure's message.
    bool finish(std::string* error = nullptr);

private:
    struct Job {
        size_t order;
        int frame;
        Image* image;
        Clock::time_point started;
    };
    struct Done {
        int frame;
        Clock::time_point started;
        std::vector<std::string> files;
    };
    void work();

    Write write_;
    Written written_;
    std::vector<std::unique_ptr<Image>> buffers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Image*> free_;
    std::deque<Job> queue_;
    std::map<size_t, Done> done_;  // written frames not yet reported, by submission order
    size_t submitted_ = 0, reported_ = 0;
    bool closing_ = false;
    std::string error_;  // the first failure; empty while all is well
    std::vector<std::thread> threads_;
};

}  // namespace taluna::render
