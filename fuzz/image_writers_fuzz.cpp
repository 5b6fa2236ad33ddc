// tlSavePNG and tlSaveEXR with arbitrary sizes and pixel values (NaN, infinities, subnormals, either
// sign), null arguments and unwritable paths. Sizes the formats cannot hold are passed as they are,
// with a one-pixel buffer the writer must refuse before reading (the sanitizer reports any read
// beyond it), and must leave no file; other sizes are folded to at most 64 x 64 and written. A
// written file must have the layout its format prescribes.
//
// Input: flags (bit 0 EXR, else PNG; bit 1 16-bit PNG; bit 2 null path; bit 3 null pixels; bit 4 a
// path in a missing folder), width and height (int32 each), then the pixels' floats (missing ones
// read as zero).
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "taluna.h"

namespace {

using taluna::fuzz::Input;

// The folder the written files go to, removed when the process ends (the name outlives the
// process's static objects, which the removal runs after).
const std::string& scratchFolder() {
    static const std::string* folder = [] {
        const char* base = std::getenv("TMPDIR");
        auto* name = new std::string(std::string(base && *base ? base : "/tmp") + "/taluna-fuzz-XXXXXX");
        FUZZ_CHECK(mkdtemp(name->data()) != nullptr, "a scratch folder");
        std::atexit([] { std::filesystem::remove_all(scratchFolder()); });
        return name;
    }();
    return *folder;
}

uint32_t bigEndian32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t littleEndian32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }
uint64_t littleEndian64(const uint8_t* p) { return uint64_t(littleEndian32(p + 4)) << 32 | littleEndian32(p); }

uint8_t unfilterPaeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Signature, chunk lengths and CRCs, IHDR, gAMA, and a deflate stream that inflates to the filtered
// rows; the alpha extremes.
void checkPng(const std::vector<uint8_t>& file, int width, int height, bool sixteenBit, const float* rgba) {
    static const uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    FUZZ_CHECK(file.size() >= 8 && std::memcmp(file.data(), kSignature, 8) == 0, "PNG signature");
    std::vector<std::string> types;
    std::vector<uint8_t> idat;
    size_t at = 8;
    while (at < file.size()) {
        FUZZ_CHECK(file.size() - at >= 12, "a whole chunk");
        const uint32_t length = bigEndian32(&file[at]);
        FUZZ_CHECK(length <= file.size() - at - 12, "chunk length within the file");
        const uint8_t* type = &file[at + 4];
        const uint32_t crc = uint32_t(crc32(crc32(0, nullptr, 0), type, 4 + length));
        FUZZ_CHECK(crc == bigEndian32(type + 4 + length), "chunk CRC");
        types.emplace_back(reinterpret_cast<const char*>(type), 4);
        const uint8_t* body = type + 4;
        if (types.back() == "IHDR") {
            FUZZ_CHECK(length == 13 && bigEndian32(body) == uint32_t(width) && bigEndian32(body + 4) == uint32_t(height) &&
                           body[8] == (sixteenBit ? 16 : 8) && body[9] == 6 && body[10] == 0 && body[11] == 0 &&
                           body[12] == 0,
                       "IHDR");
        } else if (types.back() == "gAMA") {
            FUZZ_CHECK(length == 4 && bigEndian32(body) == 45455, "gAMA");
        } else if (types.back() == "IDAT") {
            idat.insert(idat.end(), body, body + length);
        }
        at += 12 + length;
    }
    FUZZ_CHECK((types == std::vector<std::string>{"IHDR", "gAMA", "IDAT", "IEND"}), "chunk order");

    const size_t bpp = sixteenBit ? 8 : 4, rowBytes = size_t(width) * bpp;
    std::vector<uint8_t> rows(size_t(height) * (1 + rowBytes) + 1);
    uLongf inflated = rows.size();
    FUZZ_CHECK(uncompress(rows.data(), &inflated, idat.data(), idat.size()) == Z_OK, "IDAT inflates");
    FUZZ_CHECK(inflated == size_t(height) * (1 + rowBytes), "IDAT holds every row");
    std::vector<uint8_t> prior(rowBytes, 0), cur(rowBytes);
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = &rows[size_t(y) * (1 + rowBytes)];
        FUZZ_CHECK(in[0] <= 4, "filter type");
        for (size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= bpp ? cur[i - bpp] : 0, b = prior[i], c = i >= bpp ? prior[i - bpp] : 0;
            const int predictor = in[0] == 0 ? 0 : in[0] == 1 ? a : in[0] == 2 ? b : in[0] == 3 ? (a + b) / 2
                                                                                     : unfilterPaeth(a, b, c);
            cur[i] = uint8_t(in[1 + i] + predictor);
        }
        // A pixel whose alpha is at most 1e-6 (or NaN) is transparent black; alpha 1 or more is opaque.
        for (size_t x = 0; x < size_t(width); ++x) {
            const uint8_t* px = &cur[x * bpp];
            const float alpha = rgba[(size_t(y) * width + x) * 4 + 3];
            bool zero = true, full = true;
            for (size_t k = 0; k < bpp; ++k) zero = zero && px[k] == 0;
            for (size_t k = bpp - bpp / 4; k < bpp; ++k) full = full && px[k] == 255;
            if (!(alpha > 1e-6f)) FUZZ_CHECK(zero, "transparent black");
            if (alpha >= 1.0f) FUZZ_CHECK(full, "opaque");
        }
        std::swap(prior, cur);
    }
}

// Header size and windows, offset table, line numbers and sizes, and the file length.
void checkExr(const std::vector<uint8_t>& file, int width, int height, const float* rgba) {
    const uint64_t lineBytes = 8 * uint64_t(width) + 8;
    const uint64_t tableEnd = 331 + 8 * uint64_t(height);
    FUZZ_CHECK(file.size() == tableEnd + uint64_t(height) * lineBytes, "EXR file length");
    FUZZ_CHECK(littleEndian32(&file[0]) == 20000630 && littleEndian32(&file[4]) == 2, "EXR magic and version");
    for (int y = 0; y < height; ++y) {
        const uint64_t offset = littleEndian64(&file[331 + 8 * size_t(y)]);
        FUZZ_CHECK(offset == tableEnd + uint64_t(y) * lineBytes, "line offset");
        FUZZ_CHECK(littleEndian32(&file[offset]) == uint32_t(y) && littleEndian32(&file[offset + 4]) == 8 * uint32_t(width),
                   "line number and size");
        // A NaN stays a NaN and an infinity an infinity of the same sign; the channels run A, B, G, R.
        for (int x = 0; x < width; ++x)
            for (int ch = 0; ch < 4; ++ch) {
                const float v = rgba[(size_t(y) * width + x) * 4 + ch];
                const uint8_t* h = &file[offset + 8 + 2 * (size_t(3 - ch) * width + x)];
                const uint16_t half = uint16_t(h[0] | h[1] << 8);
                if (std::isnan(v)) FUZZ_CHECK((half & 0x7C00) == 0x7C00 && (half & 0x3FF) != 0, "NaN");
                if (std::isinf(v)) FUZZ_CHECK((half & 0x7FFF) == 0x7C00 && (half >> 15) == (std::signbit(v) ? 1 : 0), "inf");
            }
    }
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    FUZZ_CHECK(in.good(), "the written file opens");
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t flags = in.byte();
    int width = in.take<int32_t>(), height = in.take<int32_t>();
    const bool exr = flags & 1, sixteenBit = flags & 2, nullPath = flags & 4, nullPixels = flags & 8;
    const std::string path = scratchFolder() + ((flags & 16) ? "/missing/image" : "/image");

    // Sizes the file formats cannot describe: a PNG's filtered rows beyond a 32-bit signed length,
    // an EXR line whose 32-bit signed byte count (8 per pixel) overflows.
    const int64_t bpp = sixteenBit ? 8 : 4;
    const bool positive = width >= 1 && height >= 1;
    int64_t filteredBytes = 0;
    const bool beyondFormat =
        exr ? width > INT32_MAX / 8
            : __builtin_mul_overflow(int64_t(height), 1 + int64_t(width) * bpp, &filteredBytes) ||
                  filteredBytes > int64_t(INT32_MAX);
    const bool refused = !positive || beyondFormat || nullPath || nullPixels;
    if (positive && !beyondFormat && int64_t(width) * height > 4096) {
        width = 1 + (width - 1) % 64;
        height = 1 + (height - 1) % 64;
    }
    const size_t floats = refused ? 4 : size_t(width) * size_t(height) * 4;
    std::vector<float> rgba(floats);
    in.bytes(rgba.data(), floats * sizeof(float));

    const float* pixels = nullPixels ? nullptr : rgba.data();
    const int rc = exr ? tlSaveEXR(nullPath ? nullptr : path.c_str(), width, height, pixels)
                       : tlSavePNG(nullPath ? nullptr : path.c_str(), width, height, pixels, sixteenBit);
    struct stat info;
    const bool written = stat(path.c_str(), &info) == 0;
    if (refused || (flags & 16)) {
        FUZZ_CHECK(rc == 1, "refused");
        FUZZ_CHECK(!written, "a refused image leaves no file");
        return 0;
    }
    FUZZ_CHECK(rc == 0 && written, "written");
    const std::vector<uint8_t> file = readFile(path);
    if (exr) checkExr(file, width, height, rgba.data());
    else checkPng(file, width, height, sixteenBit, rgba.data());
    unlink(path.c_str());
    return 0;
}
