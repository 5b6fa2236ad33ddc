// tlSavePNG and tlSaveEXR with arbitrary sizes and pixel values (NaN, infinities, subnormals, either
// sign), null arguments and unwritable paths. Sizes the formats cannot hold are passed with a
// one-pixel buffer the writer must refuse before reading (the sanitizer reports any read beyond it),
// and a refusal leaves no file; other sizes are folded to at most 64 x 64 and written, and the file
// must have its format's layout (the values themselves are the writer tests' business).
//
// Input: flags (bit 0 EXR, else PNG; bit 1 16-bit PNG; bit 2 null path; bit 3 null pixels; bit 4 a
// path in a missing folder), width and height (int32 each), then the pixels' floats.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "taluna.h"

namespace {

// The folder the files go to, removed when the process ends.
const std::string& scratchFolder() {
    static const std::string* folder = [] {
        auto* name = new std::string(std::filesystem::temp_directory_path() / "taluna-fuzz-XXXXXX");
        FUZZ_CHECK(mkdtemp(name->data()) != nullptr, "a scratch folder");
        std::atexit([] { std::filesystem::remove_all(scratchFolder()); });
        return name;
    }();
    return *folder;
}

uint32_t u32(const uint8_t* p, bool big) {
    return big ? uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3] : uint32_t(p[3]) << 24 | p[2] << 16 | p[1] << 8 | p[0];
}

// Signature, chunk lengths, CRCs and order, and an IDAT that inflates to the filtered rows (the header's
// values are the writer tests' business).
void checkPng(const std::vector<uint8_t>& file, int width, int height, bool sixteenBit) {
    FUZZ_CHECK(file.size() >= 8 && std::memcmp(file.data(), "\x89PNG\r\n\x1A\n", 8) == 0, "PNG signature");
    std::string types;
    std::vector<uint8_t> idat;
    for (size_t at = 8; at < file.size(); at += 12 + u32(&file[at], true)) {
        FUZZ_CHECK(file.size() - at >= 12 && u32(&file[at], true) <= file.size() - at - 12, "a whole chunk");
        const uint32_t length = u32(&file[at], true);
        const uint8_t *type = &file[at + 4], *body = type + 4;
        FUZZ_CHECK(crc32(0, type, 4 + length) == u32(body + length, true), "chunk CRC");
        types.append(reinterpret_cast<const char*>(type), 4);
        if (types.ends_with("IDAT")) idat.insert(idat.end(), body, body + length);
    }
    FUZZ_CHECK(types == "IHDRgAMAIDATIEND", types);
    const size_t rowBytes = 1 + size_t(width) * (sixteenBit ? 8 : 4);
    std::vector<uint8_t> rows(size_t(height) * rowBytes + 1);
    uLongf inflated = rows.size();
    FUZZ_CHECK(uncompress(rows.data(), &inflated, idat.data(), idat.size()) == Z_OK, "IDAT inflates");
    FUZZ_CHECK(inflated == size_t(height) * rowBytes, "IDAT holds every row");
    for (int y = 0; y < height; ++y) FUZZ_CHECK(rows[size_t(y) * rowBytes] <= 4, "filter type");
}

// Length, magic and version, offset table, line numbers and sizes.
void checkExr(const std::vector<uint8_t>& file, int width, int height) {
    const uint64_t lineBytes = 8 * uint64_t(width) + 8, tableEnd = 331 + 8 * uint64_t(height);
    FUZZ_CHECK(file.size() == tableEnd + uint64_t(height) * lineBytes, "EXR file length");
    FUZZ_CHECK(u32(&file[0], false) == 20000630 && u32(&file[4], false) == 2, "EXR magic and version");
    for (int y = 0; y < height; ++y) {
        const uint64_t offset = tableEnd + uint64_t(y) * lineBytes;
        FUZZ_CHECK(u32(&file[331 + 8 * size_t(y)], false) == offset && u32(&file[335 + 8 * size_t(y)], false) == 0,
                   "line offset");
        FUZZ_CHECK(u32(&file[offset], false) == uint32_t(y) && u32(&file[offset + 4], false) == 8 * uint32_t(width),
                   "line number and size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    taluna::fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    int width = in.take<int32_t>(), height = in.take<int32_t>();  // then the pixels' floats
    const bool exr = flags & 1, sixteenBit = flags & 2, nullPath = flags & 4, nullPixels = flags & 8;
    const std::string path = scratchFolder() + ((flags & 16) ? "/missing/image" : "/image");

    // Beyond the formats: a PNG's filtered rows past a 32-bit signed length, an EXR line whose 32-bit
    // signed byte count (8 per pixel) overflows.
    const bool positive = width >= 1 && height >= 1;
    int64_t filtered = 0;
    const bool beyondFormat = exr ? width > INT32_MAX / 8
                                  : __builtin_mul_overflow(int64_t(height), 1 + int64_t(width) * (sixteenBit ? 8 : 4),
                                                           &filtered) || filtered > int64_t(INT32_MAX);
    const bool refused = !positive || beyondFormat || nullPath || nullPixels;
    if (positive && !beyondFormat && int64_t(width) * height > 4096)
        width = 1 + (width - 1) % 64, height = 1 + (height - 1) % 64;
    std::vector<float> rgba(refused ? 4 : size_t(width) * size_t(height) * 4);
    in.bytes(rgba.data(), rgba.size() * sizeof(float));

    const float* pixels = nullPixels ? nullptr : rgba.data();
    const char* target = nullPath ? nullptr : path.c_str();
    const int rc = exr ? tlSaveEXR(target, width, height, pixels) : tlSavePNG(target, width, height, pixels, sixteenBit);
    struct stat info;
    const bool written = stat(path.c_str(), &info) == 0, expected = !refused && !(flags & 16);
    FUZZ_CHECK(rc == !expected && written == expected, "written, or refused leaving no file");
    if (!expected) return 0;
    std::ifstream stream(path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    if (exr) checkExr(file, width, height);
    else checkPng(file, width, height, sixteenBit);
    unlink(path.c_str());
    return 0;
}
