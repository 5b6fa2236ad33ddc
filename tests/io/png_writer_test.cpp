// tlSavePNG: whole files against an independent model of conversion, filtering and container, decoding
// with libpng, pngcheck, the conversion's edge values, and the failures.
#include <malloc.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "io/writer_test_support.h"
#include "taluna.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace {

using Bytes = std::vector<uint8_t>;

// Straight-alpha, gamma-encoded samples, big-endian when 16-bit; NaN counts as 0.
Bytes modelSamples(const std::vector<float>& rgba, bool sixteen) {
    const float scale = sixteen ? 65535.0f : 255.0f;
    auto unit = [](float v) { return v > 0.0f ? std::min(v, 1.0f) : 0.0f; };
    Bytes out;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        const float alpha = unit(rgba[i + 3]);
        for (int c = 0; c < 4; ++c) {
            float v = c == 3 ? alpha : std::pow(alpha > 1e-6f ? unit(rgba[i + c] / alpha) : 0.0f, 0.45454544f);
            auto s = uint32_t(v * scale + 0.5f);
            if (sixteen) out.push_back(uint8_t(s >> 8));
            out.push_back(uint8_t(s));
        }
    }
    return out;
}

// The five PNG filters tried one after the other; the first of the cheapest wins.
Bytes modelFilter(const Bytes& raw, int width, int height, int bpp) {
    const size_t n = size_t(width) * bpp;
    const Bytes zeros(n);
    Bytes out;
    for (int y = 0; y < height; ++y) {
        const uint8_t* cur = &raw[y * n];
        const uint8_t* up = y ? cur - n : zeros.data();
        Bytes best;
        long bestScore = LONG_MAX;
        for (int type = 0; type < 5; ++type) {
            Bytes row{uint8_t(type)};
            long score = 0;
            for (size_t i = 0; i < n; ++i) {
                int a = i >= size_t(bpp) ? cur[i - bpp] : 0, b = up[i], c = i >= size_t(bpp) ? up[i - bpp] : 0;
                int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                int predictor[5] = {0, a, b, (a + b) / 2, paeth};
                row.push_back(uint8_t(cur[i] - predictor[type]));
                score += std::abs(int(int8_t(row.back())));
            }
            if (score < bestScore) bestScore = score, best = row;
        }
        out.insert(out.end(), best.begin(), best.end());
    }
    return out;
}

void appendBE32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void appendChunk(Bytes& out, const char* type, const Bytes& data) {
    appendBE32(out, uint32_t(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    appendBE32(out, uint32_t(crc32(0, body.data(), uInt(body.size()))));
}

Bytes modelFile(const std::vector<float>& rgba, int width, int height, bool sixteen) {
    Bytes filtered = modelFilter(modelSamples(rgba, sixteen), width, height, sixteen ? 8 : 4);
    int streamBytes = 0;
    unsigned char* stream = stbi_zlib_compress(filtered.data(), int(filtered.size()), &streamBytes, 8);
    Bytes file{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, header, gamma;
    appendBE32(header, uint32_t(width));
    appendBE32(header, uint32_t(height));
    header.insert(header.end(), {uint8_t(sixteen ? 16 : 8), 6, 0, 0, 0});
    appendBE32(gamma, 45455);
    appendChunk(file, "IHDR", header);
    appendChunk(file, "gAMA", gamma);
    appendChunk(file, "IDAT", Bytes(stream, stream + streamBytes));
    appendChunk(file, "IEND", {});
    free(stream);
    return file;
}

struct Decoded {
    uint32_t width = 0, height = 0;
    int depth = 0, colorType = 0;
    png_fixed_point gamma = 0;
    Bytes samples;  // rows as stored, 16-bit samples big-endian
};

// Reads the file with libpng and no transformations; false when libpng reports an error.
bool decodePng(const std::string& path, Decoded& out) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.depth = png_get_bit_depth(png, info);
    out.colorType = png_get_color_type(png, info);
    png_get_gAMA_fixed(png, info, &out.gamma);
    const size_t rowBytes = png_get_rowbytes(png, info);
    out.samples.assign(rowBytes * out.height, 0);
    for (uint32_t y = 0; y < out.height; ++y) rows.push_back(&out.samples[y * rowBytes]);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return true;
}

class PngWriter : public WriterTest {};

TEST_F(PngWriter, OneOpaqueWhitePixelByteForByte) {
    const std::vector<float> white{1, 1, 1, 1};
    ASSERT_EQ(tlSavePNG(path("white.png").c_str(), 1, 1, white.data(), 0), 0);
    const Bytes file = readFile(path("white.png"));
    // Every filter scores 4 on the single row, so type 0 is kept.
    EXPECT_EQ(modelFilter(modelSamples(white, false), 1, 1, 4), (Bytes{0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(file, modelFile(white, 1, 1, false));
    ASSERT_GE(file.size(), 12 + 8 + 25);
    EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 29),
              (Bytes{0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0}));
    EXPECT_EQ(Bytes(file.end() - 12, file.end()),
              (Bytes{0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
}

TEST_F(PngWriter, SixteenBitSamplesAreHighByteFirst) {
    const std::vector<float> pixel{0.5f, 1.0f, 0.0f, 1.0f};
    ASSERT_EQ(tlSavePNG(path("p16.png").c_str(), 1, 1, pixel.data(), 1), 0);
    Decoded d;
    ASSERT_TRUE(decodePng(path("p16.png"), d));
    EXPECT_EQ(d.depth, 16);
    // 47824 = 0xBAD0.
    EXPECT_EQ(d.samples, (Bytes{0xBA, 0xD0, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(readFile(path("p16.png")), modelFile(pixel, 1, 1, true));
}

// Division by alpha, clamping, the 1e-6 alpha threshold and values with no number in them.
TEST_F(PngWriter, ConversionEdgeValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<float> pixels{
        0.5f,  0.5f, 0.5f, 1.0f,     // straight 0.5 gives 186
        2.0f,  -1.f, inf,  1.0f,     // clamped to 255, 0, 255
        0.25f, 0.5f, 1.0f, 0.5f,     // premultiplied: 0.5, 1, clamped 2; alpha 128
        0.5f,  0.5f, 0.5f, 3.0f,     // alpha clamped to 1 before the division
        0.5f,  0.5f, 0.5f, -0.5f,    // transparent black
        1e-7f, 1e-7f, 1e-7f, 1e-6f,  // alpha not above 1e-6: transparent black
        nan,   -nan, 0.5f, 1.0f,     // NaN colour counts as 0
        0.5f,  0.5f, 0.5f, nan};     // NaN alpha counts as 0
    ASSERT_EQ(tlSavePNG(path("edges.png").c_str(), 8, 1, pixels.data(), 0), 0);
    Decoded d;
    ASSERT_TRUE(decodePng(path("edges.png"), d));
    EXPECT_EQ(d.samples, (Bytes{186, 186, 186, 255, 255, 0, 255, 255, 186, 255, 255, 128, 186, 186, 186, 255,
                                0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 186, 255, 0, 0, 0, 0}));
    EXPECT_EQ(readFile(path("edges.png")), modelFile(pixels, 8, 1, false));
}

// Odd sizes, both depths: libpng reads back the expected samples and the file matches the model byte
// for byte (filter choice and compressor settings included).
TEST_F(PngWriter, DecodesWithLibpngAndMatchesModel) {
    for (auto [w, h] : {std::pair{1, 1}, {1, 7}, {7, 1}, {13, 5}, {31, 17}, {127, 3}, {64, 64}})
        for (int sixteen : {0, 1}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << (sixteen ? " 16-bit" : " 8-bit"));
            const std::vector<float> image = testImage(w, h, uint32_t(w * 1000 + h));
            const std::string file = path("image.png");
            ASSERT_EQ(tlSavePNG(file.c_str(), w, h, image.data(), sixteen), 0);
            Decoded d;
            ASSERT_TRUE(decodePng(file, d));
            EXPECT_EQ(d.width, uint32_t(w));
            EXPECT_EQ(d.height, uint32_t(h));
            EXPECT_EQ(d.depth, sixteen ? 16 : 8);
            EXPECT_EQ(d.colorType, PNG_COLOR_TYPE_RGB_ALPHA);
            EXPECT_EQ(d.gamma, 45455);
            EXPECT_EQ(d.samples, modelSamples(image, sixteen));
            EXPECT_EQ(readFile(file), modelFile(image, w, h, sixteen));
        }
}

// Rows built so that each filter type is the cheapest in turn. Colour is 0, so the alpha bytes, which
// store a / 255 exactly, decide; the first row ties none, up and average and must keep none.
TEST_F(PngWriter, EachRowKeepsTheCheapestFilter) {
    constexpr int w = 16;
    std::mt19937 rng(9);
    std::vector<std::array<int, w>> rows(7);
    for (int x = 0; x < w; ++x) {
        rows[0][x] = x & 1;
        rows[1][x] = int(rng() & 0xFF);
        rows[2][x] = rows[1][x];                  // up
        rows[3][x] = 10 + 3 * x;                  // sub
        rows[4][x] = ((x ? rows[4][x - 1] : 0) + rows[3][x]) >> 1;  // average
        // Paeth predicts g(x) + h(y) exactly and keeps the nearer of left and up: steps of 0 and 20
        // across, 10 down.
        rows[5][x] = 20 * (x / 2) + 30;
        rows[6][x] = 20 * (x / 2) + 40;
    }
    std::vector<float> image;
    for (const auto& row : rows)
        for (int a : row) image.insert(image.end(), {0.0f, 0.0f, 0.0f, float(a) / 255.0f});
    ASSERT_EQ(tlSavePNG(path("filters.png").c_str(), w, 7, image.data(), 0), 0);
    EXPECT_EQ(readFile(path("filters.png")), modelFile(image, w, 7, false));
    const Bytes filtered = modelFilter(modelSamples(image, false), w, 7, 4);
    const int expected[7] = {0, -1, 2, 1, 3, -1, 4};  // -1: not designed for a type
    for (int y = 0; y < 7; ++y)
        if (expected[y] >= 0) EXPECT_EQ(filtered[size_t(y) * (1 + 4 * w)], expected[y]) << "row " << y;
}

TEST_F(PngWriter, PassesPngcheck) {
    if (std::system("command -v pngcheck >/dev/null 2>&1") != 0) GTEST_SKIP() << "pngcheck is not installed";
    const std::vector<float> image = testImage(33, 9, 7);
    for (int sixteen : {0, 1}) {
        const std::string file = path(sixteen ? "check16.png" : "check8.png");
        ASSERT_EQ(tlSavePNG(file.c_str(), 33, 9, image.data(), sixteen), 0);
        const int status = std::system(("pngcheck -q '" + file + "' >/dev/null 2>&1").c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << file;
    }
}

TEST_F(PngWriter, NonAsciiFileName) {
    const std::vector<float> image = testImage(3, 2, 1);
    const std::string name = "bild-\xC3\xBC\xC3\xB1\xC3\xAF-\xE6\x97\xA5\xE6\x9C\xAC.png";  // bild-üñï-日本
    ASSERT_EQ(tlSavePNG(path(name).c_str(), 3, 2, image.data(), 0), 0);
    EXPECT_TRUE(fs::exists(dir_ / fs::u8path(name)));
    EXPECT_EQ(readFile(path(name)), modelFile(image, 3, 2, false));
}

// Refused calls return 1 before reading pixels or allocating, and create nothing. The large sizes come
// with a one-pixel buffer: touching it beyond that would be caught by the sanitizers or crash.
TEST_F(PngWriter, RefusalsCreateNoFile) {
    const float pixel[4] = {1, 1, 1, 1};
    const std::string file = path("refused.png");
    EXPECT_EQ(tlSavePNG(nullptr, 1, 1, pixel, 0), 1);
    EXPECT_EQ(tlSavePNG(file.c_str(), 1, 1, nullptr, 0), 1);
    for (auto [w, h] : {std::pair{0, 1}, {1, 0}, {-1, 5}, {5, -1}, {INT_MIN, INT_MIN},
                        {INT_MAX, INT_MAX},        // byte counts beyond 64 bits
                        {1 << 29, 1},              // one row of 2^31 + 1 filtered bytes
                        {65536, 65536},            // 2^34 filtered bytes
                        {400000000, 1}})           // 1.6e9 bytes: below 2^31, but the compressor's
                                                   // output buffer would overflow its int capacity
        for (int sixteen : {0, 1}) EXPECT_EQ(tlSavePNG(file.c_str(), w, h, pixel, sixteen), 1) << w << "x" << h;
    EXPECT_EQ(tlSavePNG(path("missing/refused.png").c_str(), 1, 1, pixel, 0), 1);
    EXPECT_TRUE(folderEmpty());
}

// A full device: a small file fails at the close, a larger one at the write.
TEST_F(PngWriter, WriteAndCloseFailuresReturnOne) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::vector<float> small = testImage(1, 1, 3), large = testImage(128, 128, 3);
    EXPECT_EQ(tlSavePNG("/dev/full", 1, 1, small.data(), 0), 1);
    EXPECT_EQ(tlSavePNG("/dev/full", 128, 128, large.data(), 1), 1);
}

#if defined(__GLIBC__)
// Calls the writer with the address space capped a little above what is in use; returns the exit
// status for the death test below. Blocks from 64 KiB on are mapped and unmapped one by one, so that
// each large allocation and each growth of the compressor's output needs new address space.
int callsUnderMemoryCaps(const std::string& file, const std::vector<float>& image, const Bytes& expected) {
    mallopt(M_MMAP_THRESHOLD, 64 << 10);
    rlimit original{};
    getrlimit(RLIMIT_AS, &original);
    long pages = 0;
    if (FILE* statm = fopen("/proc/self/statm", "r")) {
        if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
        fclose(statm);
    }
    const rlim_t inUse = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE));
    // Raise the cap until a call succeeds; every call below it must fail cleanly.
    int failures = 0;
    for (rlim_t extra = 0; extra <= (256u << 20); extra += 32u << 10) {
        std::remove(file.c_str());
        rlimit capped = original;
        capped.rlim_cur = inUse + extra;
        setrlimit(RLIMIT_AS, &capped);
        const int result = tlSavePNG(file.c_str(), 128, 128, image.data(), 0);
        setrlimit(RLIMIT_AS, &original);
        if (result == 0) return readFile(file) == expected && failures > 0 ? 0 : 2;
        if (result != 1 || fs::exists(file)) return 3;
        ++failures;
    }
    return 4;
}

// Allocations fail at every stage, the compressor's included; each call must still return 0 or 1, and
// the files of successful calls must be whole.
TEST_F(PngWriter, RunningOutOfMemoryFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's allocator aborts instead of returning null under a cap";
#endif
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer cannot map its shadow memory under an address-space cap";
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    GTEST_SKIP() << "the thread sanitizer cannot map its shadow memory under an address-space cap";
#endif
#endif
    // A fresh process: the heap of this one may hold enough free blocks to need no new address space.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<float> image = testImage(128, 128, 5);
    const std::string file = path("oom.png");
    ASSERT_EQ(tlSavePNG(file.c_str(), 128, 128, image.data(), 0), 0);
    const Bytes expected = readFile(file);
    // The child leaves through exit, past TearDown: it removes its own folder.
    EXPECT_EXIT(
        {
            const int status = callsUnderMemoryCaps(file, image, expected);
            fs::remove_all(dir_);
            std::exit(status);
        },
        testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
