#include "render/outputs.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#if TALUNA_RENDER_OPENEXR
#include <ImfHeader.h>
#include <ImfRgbaFile.h>
#endif

namespace taluna::render {

bool parseExrCompression(const std::string& text, ExrCompression* out) {
    if (text == "none") return *out = ExrCompression::None, true;
#if TALUNA_RENDER_OPENEXR
    if (text == "zip") return *out = ExrCompression::Zip, true;
    if (text == "piz") return *out = ExrCompression::Piz, true;
#endif
    return false;
}

namespace {

#if TALUNA_RENDER_OPENEXR
// Half RGBA, as tlSaveEXR writes it, but compressed. OpenEXR reports failures by exceptions.
bool saveCompressedEXR(const char* path, int width, int height, const float* rgba, ExrCompression compression) {
    try {
        std::vector<Imf::Rgba> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
        for (size_t i = 0; i < pixels.size(); ++i, rgba += 4) pixels[i] = Imf::Rgba(rgba[0], rgba[1], rgba[2], rgba[3]);
        Imf::Header header(width, height);
        header.compression() = compression == ExrCompression::Zip ? Imf::ZIP_COMPRESSION : Imf::PIZ_COMPRESSION;
        Imf::RgbaOutputFile file(path, header, Imf::WRITE_RGBA);
        file.setFrameBuffer(pixels.data(), 1, static_cast<size_t>(width));
        file.writePixels(height);
        return true;
    } catch (const std::exception&) {
        return false;  // errno still tells why, as with the library's writers
    }
}
#endif

int saveEXR(const Api& api, const char* path, int width, int height, const float* rgba, ExrCompression compression) {
#if TALUNA_RENDER_OPENEXR
    if (compression != ExrCompression::None) return saveCompressedEXR(path, width, height, rgba, compression) ? 0 : 1;
#endif
    return api.saveEXR(path, width, height, rgba);
}

}  // namespace

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
                const ImageFormat& format, std::string* error) {
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
    const int failed = kind == ImageKind::Png
                           ? api.savePNG(partial.c_str(), width, height, rgba, format.sixteenBitPng ? 1 : 0)
                           : saveEXR(api, partial.c_str(), width, height, rgba, format.exr);
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

namespace {
constexpr int kWriterNice = 5;
}  // namespace

FrameWriters::FrameWriters(int jobs, size_t pixels, Write write, Written written)
    : write_(std::move(write)), written_(std::move(written)) {
    for (int i = 0; i < jobs; ++i) {
        buffers_.push_back(std::make_unique<Image>(pixels));
        free_.push_back(buffers_.back().get());
    }
    for (int i = 0; i < jobs; ++i) threads_.emplace_back([this] { work(); });
}

FrameWriters::~FrameWriters() { finish(); }

FrameWriters::Image* FrameWriters::acquire() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty() || !error_.empty(); });
    if (!error_.empty()) return nullptr;
    Image* image = free_.back();
    free_.pop_back();
    return image;
}

void FrameWriters::submit(int frame, Image* image, Clock::time_point started) {
    std::lock_guard lock(mutex_);
    queue_.push_back(Job{submitted_++, frame, image, started});
    changed_.notify_all();
}

void FrameWriters::release(Image* image) {
    std::lock_guard lock(mutex_);
    free_.push_back(image);
    changed_.notify_all();
}

void FrameWriters::work() {
    // The renderer's threads come first: the pipeline waits on the frame they render, and a parallel loop
    // whose threads a writer preempts spins at its barriers. Linux sets the nice value per thread.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kWriterNice);
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
        if (queue_.empty()) return;
        const Job job = queue_.front();
        queue_.pop_front();
        if (!error_.empty()) {  // dropped: a frame before it failed
            free_.push_back(job.image);
            changed_.notify_all();
            continue;
        }
        lock.unlock();
        Done done{job.frame, job.started, {}};
        std::string error;
        bool ok = false;
        try {
            ok = write_(job.frame, *job.image, &done.files, &error);
        } catch (const std::bad_alloc&) {
            error = "out of host memory while writing frame " + std::to_string(job.frame);
        } catch (const std::exception& e) {
            error = "frame " + std::to_string(job.frame) + ": " + e.what();
        }
        lock.lock();
        free_.push_back(job.image);
        if (!ok && error_.empty())
            error_ = error.empty() ? "could not write frame " + std::to_string(job.frame) : error;
        if (ok) done_.emplace(job.order, std::move(done));
        // Frames are reported in order; a frame finished early waits for those before it. After a failure
        // the frames before it may still finish and be reported.
        for (auto next = done_.find(reported_); next != done_.end(); next = done_.find(++reported_)) {
            written_(next->second.frame, next->second.started, next->second.files);
            done_.erase(next);
        }
        changed_.notify_all();
    }
}

bool FrameWriters::finish(std::string* error) {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    if (error) *error = error_;
    return error_.empty();
}

}  // namespace taluna::render
