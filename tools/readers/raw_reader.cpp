// Raw particles: little-endian float32 x, y, z triples and nothing else.
#include <bit>
#include <cstring>

#include "readers/reader_support.h"

namespace taluna::readers {

namespace {

class RawReader final : public ParticleReader {
public:
    RawReader(const std::string& path, uint64_t count, std::unique_ptr<InputFile> file)
        : ParticleReader(path, count, false, false), file_(std::move(file)) {}

    using ParticleReader::setShare;

protected:
    bool read(size_t n, ParticleChunk& out, std::string& error) override {
        auto* bytes = reinterpret_cast<uint8_t*>(out.positions.data());
        size_t want = n * sizeof(TLV3);
        size_t got = file_->read(bytes, want);
        if (got < want) {
            error = path() + ": byte " + std::to_string(file_->offset()) + ": " +
                    (file_->readError().empty() ? "data ends before the " + std::to_string(count()) +
                                                      " particles the file size promised (file shrank?)"
                                                : "read error: " + file_->readError());
            return false;
        }
        if constexpr (std::endian::native == std::endian::big) {
            for (size_t i = 0; i < want; i += 4) {
                std::swap(bytes[i], bytes[i + 3]);
                std::swap(bytes[i + 1], bytes[i + 2]);
            }
        }
        return true;
    }

private:
    std::unique_ptr<InputFile> file_;
};

}  // namespace

std::unique_ptr<ParticleReader> openRawFile(const std::string& path, const ReadOptions& options,
                                            std::string& error) {
    int quantity = kNoQuantity;  // positions only: any name is refused
    if (!findQuantity(path, options.colorBy, {}, false, quantity, error)) return nullptr;
    auto file = std::make_unique<InputFile>();
    if (!file->open(path, error)) return nullptr;
    uint64_t size = file->size();
    if (size % sizeof(TLV3) != 0) {
        error = path + ": size " + std::to_string(size) +
                " bytes is not a multiple of 12 (raw files hold float32 x, y, z triples): " +
                std::to_string(size % sizeof(TLV3)) + " trailing bytes after particle " +
                std::to_string(size / sizeof(TLV3));
        return nullptr;
    }
    const uint64_t n = size / sizeof(TLV3);
    const uint64_t first = shareStart(n, options.shareIndex, options.shareCount);
    const uint64_t end = shareStart(n, options.shareIndex + 1, options.shareCount);
    if (!file->seek(first * sizeof(TLV3))) {
        error = path + ": cannot seek to byte " + std::to_string(first * sizeof(TLV3)) + ": " + file->readError();
        return nullptr;
    }
    auto reader = std::make_unique<RawReader>(path, n, std::move(file));
    reader->setShare(first, end - first);
    return reader;
}

}  // namespace taluna::readers
