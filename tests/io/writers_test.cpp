// The image writers: the exact bytes of small files, the sample and half conversions (decoded with
// libpng and OpenEXR), pngcheck, and the failures.
#include <ImfArray.h>
#include <ImfRgbaFile.h>
#include <gtest/gtest.h>
#include <half.h>
#include <malloc.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <vector>

#include "taluna.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// Every test writes into a fresh temporary folder, removed afterwards.
struct WriterTest : ::testing::Test {
    void SetUp() override { ASSERT_NE(mkdtemp(dir_.data()), nullptr); }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_ = (fs::temp_directory_path() / "taluna-io-XXXXXX").string();
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

float bitsToFloat(uint32_t bits) { return std::bit_cast<float>(bits); }
const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();

// Premultiplied RGBA gradients and noise, with every few pixels a value conversions get wrong: NaNs,
// infinities, negatives, signed zeros, alpha near 1e-6 and outside [0, 1], half-float edges, subnormals.
std::vector<float> testImage(int width, int height, uint32_t seed) {
    const float edges[] = {nan,  -nan,      bitsToFloat(0x7F800001u), inf,      -inf,      -0.0f,      0.0f,
                           -0.5f, 2.0f,     1e-6f,  1.0000001e-6f, 65504.0f, 65520.0f, 65519.0f, 0x1p-24f, 0x1p-25f,
                           -0x1p-25f, 0x1.8p-25f, 0x1p-14f, 1e-45f, 1.0f + 0x1p-11f, 0.5f, 3.0f};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f), alphaDist(-0.2f, 1.3f);
    std::vector<float> image;
    for (int i = 0; i < width * height; ++i) {
        const float a = rng() % 3 == 0 ? alphaDist(rng) : 1.0f;
        image.insert(image.end(), {(float(i % width) / width + noise(rng)) * a,
                                   (float(i / width) / height + noise(rng)) * a, (0.5f + noise(rng)) * a, a});
        if (rng() % 5 == 0) image[image.size() - 4 + rng() % 4] = edges[rng() % std::size(edges)];
    }
    return image;
}

// Straight-alpha samples, gamma-encoded with exponent 1 / 2.2, big-endian when 16-bit; NaN counts as 0.
Bytes modelSamples(const std::vector<float>& rgba, bool sixteen) {
    const float scale = sixteen ? 65535.0f : 255.0f;
    auto unit = [](float v) { return v > 0.0f ? std::min(v, 1.0f) : 0.0f; };
    Bytes out;
    for (size_t i = 0; i < rgba.size(); i += 4) {
        const float alpha = unit(rgba[i + 3]);
        for (int c = 0; c < 4; ++c) {
            const float v = c == 3 ? alpha : std::pow(alpha > 1e-6f ? unit(rgba[i + c] / alpha) : 0.0f, 1.0f / 2.2f);
            const auto sample = uint16_t(v * scale + 0.5f);
            out.insert(out.end(), {uint8_t(sample >> 8), uint8_t(sample)});
            if (!sixteen) out.erase(out.end() - 2);
        }
    }
    return out;
}

// The file read by libpng with no transformations: width, height, depth, colour type, gamma, and the
// rows as stored (16-bit samples big-endian); all zero where libpng reports an error.
using Decoded = std::tuple<uint32_t, uint32_t, int, int, png_fixed_point, Bytes>;
Decoded decodePng(const std::string& path) {
    Decoded out{};
    FILE* f = fopen(path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (f && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, f);
        png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
        out = {png_get_image_width(png, info), png_get_image_height(png, info), png_get_bit_depth(png, info),
               png_get_color_type(png, info), 0, {}};
        png_get_gAMA_fixed(png, info, &std::get<4>(out));
        for (uint32_t y = 0; y < std::get<1>(out); ++y)
            std::get<Bytes>(out).insert(std::get<Bytes>(out).end(), png_get_rows(png, info)[y],
                                        png_get_rows(png, info)[y] + png_get_rowbytes(png, info));
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (f) fclose(f);
    return out;
}


TEST_F(WriterTest, PngOneOpaqueWhitePixelByteForByte) {
    const std::vector<float> white{1, 1, 1, 1};
    ASSERT_EQ(tlSavePNG(path("white.png").c_str(), 1, 1, white.data(), 0), 0);
    // Signature; IHDR 1 x 1, 8-bit RGBA; gAMA 45455; IDAT: filter 0 and FF FF FF FF, deflated; IEND.
    const Bytes expected{
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
        0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00,
        0x04, 0x67, 0x41, 0x4D, 0x41, 0x00, 0x00, 0xB1, 0x8F, 0x0B, 0xFC, 0x61, 0x05, 0x00, 0x00, 0x00, 0x0D, 0x49,
        0x44, 0x41, 0x54, 0x78, 0x5E, 0x63, 0xF8, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x09, 0xFB, 0x03, 0xFD, 0x96, 0x19,
        0xA5, 0x05, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    EXPECT_EQ(readFile(path("white.png")), expected);
}

// A 37 x 23 image of gradients under a repeating alpha, pinned by the length and CRC-32 of the whole file
// at both depths: the filter chosen for each row and the compressor's settings stay what they are.
TEST_F(WriterTest, PngGradientFilesByteForByte) {
    std::vector<float> image;
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x) {
            const float a = float((x * 5 + y * 3) % 11) / 10.0f;
            image.insert(image.end(), {float(x) / 36.0f * a, float(y) / 22.0f * a, float(x * y % 7) / 6.0f * a, a});
        }
    for (auto [sixteen, size, crc] : {std::tuple{0, 2308u, 0x37B71F64u}, {1, 3328u, 0x70FDAECAu}}) {
        ASSERT_EQ(tlSavePNG(path("gradient.png").c_str(), 37, 23, image.data(), sixteen), 0);
        const Bytes file = readFile(path("gradient.png"));
        EXPECT_EQ(file.size(), size) << sixteen;
        EXPECT_EQ(crc32(0, file.data(), uInt(file.size())), crc) << sixteen;
    }
}

// Straight 0.5 gives 0.5^(1/2.2): 186, and 47824 = 0xBAD0 at 16 bits, high byte first.
TEST_F(WriterTest, PngHalfGreyPins) {
    const float grey[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    for (auto [sixteen, samples] : {std::pair{0, Bytes{186, 186, 186, 255}}, {1, Bytes{0xBA, 0xD0, 0xBA, 0xD0, 0xBA, 0xD0, 0xFF, 0xFF}}}) {
        ASSERT_EQ(tlSavePNG(path("grey.png").c_str(), 1, 1, grey, sixteen), 0);
        EXPECT_EQ(std::get<Bytes>(decodePng(path("grey.png"))), samples) << sixteen;
    }
}

#if defined(__GLIBC__)
#if defined(__has_feature)
#define TL_CLANG_TSAN __has_feature(thread_sanitizer)
#else
#define TL_CLANG_TSAN 0
#endif
// The writer under an address-space cap a little above what is in use, raised until a call succeeds:
// every call below it fails cleanly, the file then is whole. Returns the death test's exit status.
int callsUnderMemoryCaps(const std::string& file, const std::vector<float>& image, const Bytes& expected) {
    rlimit original{};
    getrlimit(RLIMIT_AS, &original);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t inUse = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE));
    for (rlim_t extra = 0; extra <= (256u << 20); extra += 32u << 10) {
        std::remove(file.c_str());
        const rlimit capped{inUse + extra, original.rlim_max};
        setrlimit(RLIMIT_AS, &capped);
        const int result = tlSavePNG(file.c_str(), 128, 128, image.data(), 0);
        setrlimit(RLIMIT_AS, &original);
        if (result == 0) return readFile(file) == expected && extra > 0 ? 0 : 2;  // after a failure, whole
        if (result != 1 || fs::exists(file)) return 3;
    }
    return 4;
}

// Allocations fail at every stage, the compressor's included, each call still returning 0 or 1.
TEST_F(WriterTest, PngRunningOutOfMemoryFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || TL_CLANG_TSAN
    GTEST_SKIP() << "a sanitizer does not run under an address-space cap";
#endif
    // A fresh process, whose blocks from 64 KiB on are mapped one by one: each large allocation and
    // each growth of the compressor's output needs new address space.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    mallopt(M_MMAP_THRESHOLD, 64 << 10);
    const std::vector<float> image = testImage(128, 128, 5);
    const std::string file = path("oom.png");
    ASSERT_EQ(tlSavePNG(file.c_str(), 128, 128, image.data(), 0), 0);
    const Bytes expected = readFile(file);
    // The child leaves through exit, past TearDown: it removes its own folder.
    EXPECT_EXIT({ const int status = callsUnderMemoryCaps(file, image, expected); fs::remove_all(dir_); std::exit(status); },
                testing::ExitedWithCode(0), "");
}
#endif

// A float's half: rounded to nearest even as Imath does it, NaN as a quiet NaN without payload.
uint16_t expectedHalf(float f) {
    const uint16_t sign = (std::bit_cast<uint32_t>(f) >> 16) & 0x8000;
    return std::isnan(f) ? uint16_t(sign | 0x7E00) : half(f).bits();
}


TEST_F(WriterTest, ExrOnePixelByteForByte) {
    const float pixel[4] = {1.0f, 0.5f, -2.0f, 0.25f};
    ASSERT_EQ(tlSaveEXR(path("one.exr").c_str(), 1, 1, pixel), 0);
    Bytes expected{0x76, 0x2F, 0x31, 0x01, 2, 0, 0, 0};
    auto text = [&](const char* s) { expected.insert(expected.end(), s, s + std::strlen(s) + 1); };
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) expected.push_back(uint8_t(v >> (8 * i))); };
    auto attribute = [&](const char* name, const char* type, uint32_t size) { text(name), text(type), u32(size); };
    attribute("channels", "chlist", 73);
    for (const char* channel : {"A", "B", "G", "R"}) text(channel), u32(1), u32(0), u32(1), u32(1);  // half, sampling 1
    expected.push_back(0);
    attribute("compression", "compression", 1), expected.push_back(0);
    attribute("dataWindow", "box2i", 16), u32(0), u32(0), u32(0), u32(0);
    attribute("displayWindow", "box2i", 16), u32(0), u32(0), u32(0), u32(0);
    attribute("lineOrder", "lineOrder", 1), expected.push_back(0);
    attribute("pixelAspectRatio", "float", 4), u32(0x3F800000);
    attribute("screenWindowCenter", "v2f", 8), u32(0), u32(0);
    attribute("screenWindowWidth", "float", 4), u32(0x3F800000);
    expected.push_back(0);
    ASSERT_EQ(expected.size(), 331u);
    u32(339), u32(0), u32(0), u32(8);  // offset table; line 0 of 8 bytes: A 0.25, B -2, G 0.5, R 1
    u32(0xC0003400), u32(0x3C003800);
    EXPECT_EQ(readFile(path("one.exr")), expected);
}

// Rounding to nearest even in the normal and subnormal ranges, overflow, signed zeros, NaN and infinity.
TEST_F(WriterTest, ExrHalfConversion) {
    const std::pair<float, uint16_t> table[] = {
        {1.0f, 0x3C00},        {65504.0f, 0x7BFF},     {65519.0f, 0x7BFF},         {65520.0f, 0x7C00},
        {1e10f, 0x7C00},       {-1e10f, 0xFC00},       {inf, 0x7C00},              {-inf, 0xFC00},
        {-0.0f, 0x8000},       {0.0f, 0x0000},         {0x1p-24f, 0x0001},         {0x1p-25f, 0x0000},
        {-0x1p-25f, 0x8000},   {0x1.8p-25f, 0x0001},   {0x1.8p-24f, 0x0002},       {0x1p-26f, 0x0000},
        {0x1p-14f, 0x0400},    {0x1.ffcp-15f, 0x0400}, {1e-45f, 0x0000},           {1.0f + 0x1p-11f, 0x3C00},
        {1.0f + 0x3p-11f, 0x3C02}, {2049.0f, 0x6800},  {2051.0f, 0x6802},          {0.1f, 0x2E66},
        {nan, 0x7E00},         {-nan, 0xFE00},         {bitsToFloat(0x7F800001u), 0x7E00},
        {bitsToFloat(0xFFBFFFFFu), 0xFE00}};
    const int width = int(std::size(table));
    std::vector<float> row(size_t(width) * 4, 0.0f);
    for (int x = 0; x < width; ++x) row[4 * x] = table[x].first;  // red
    ASSERT_EQ(tlSaveEXR(path("halves.exr").c_str(), width, 1, row.data()), 0);
    const Bytes file = readFile(path("halves.exr"));
    ASSERT_EQ(file.size(), 331u + 16 + 8 * width);
    const uint8_t* red = &file[331 + 8 + 8 + 3 * 2 * width];  // after A, B and G
    for (int x = 0; x < width; ++x) EXPECT_EQ(red[2 * x] | red[2 * x + 1] << 8, table[x].second) << std::hexfloat << table[x].first;
}

// Odd sizes and a non-ASCII name: libpng reads back the header and the model's samples at both depths,
// pngcheck (where installed) finds nothing wrong, and OpenEXR reads every half as Imath converts it.
TEST_F(WriterTest, DecodesWithLibpngAndOpenExr) {
    const bool pngcheck = std::system("command -v pngcheck >/dev/null 2>&1") == 0;
    const std::string png = path("bild-\xC3\xBC\xC3\xB1-\xE6\x97\xA5.png"), exr = png.substr(0, png.size() - 3) + "exr";
    for (auto [w, h] : {std::pair{1, 9}, {7, 1}, {31, 17}, {127, 3}, {64, 64}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const std::vector<float> image = testImage(w, h, uint32_t(w * 1000 + h));
        for (int sixteen : {0, 1}) {
            ASSERT_EQ(tlSavePNG(png.c_str(), w, h, image.data(), sixteen), 0);
            EXPECT_EQ(decodePng(png), Decoded(w, h, sixteen ? 16 : 8, PNG_COLOR_TYPE_RGB_ALPHA, 45455,
                                              modelSamples(image, sixteen))) << sixteen;
            const int status = pngcheck ? std::system(("pngcheck -q '" + png + "' >/dev/null 2>&1").c_str()) : 0;
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        ASSERT_EQ(tlSaveEXR(exr.c_str(), w, h, image.data()), 0);
        Imf::RgbaInputFile in(exr.c_str());
        ASSERT_EQ(in.dataWindow(), Imath::Box2i(Imath::V2i(0, 0), Imath::V2i(w - 1, h - 1)));
        ASSERT_EQ(in.displayWindow(), in.dataWindow());
        Imf::Array2D<Imf::Rgba> pixels(h, w);
        in.setFrameBuffer(&pixels[0][0], 1, size_t(w));
        in.readPixels(0, h - 1);
        for (int i = 0; i < w * h; ++i) {
            const Imf::Rgba& got = pixels[i / w][i % w];
            const float* p = &image[size_t(i) * 4];
            ASSERT_EQ((std::array{got.r.bits(), got.g.bits(), got.b.bits(), got.a.bits()}),
                      (std::array{expectedHalf(p[0]), expectedHalf(p[1]), expectedHalf(p[2]), expectedHalf(p[3])}))
                << "pixel " << i;
        }
    }
}

// Refused calls return 1 before reading pixels or allocating, and create nothing: the large sizes come
// with a one-pixel buffer, which the sanitizers guard. A full device fails a small file at the close,
// a larger one at a write.
TEST_F(WriterTest, FailuresReturnOneAndCreateNoFile) {
    using Save = int (*)(const char*, int, int, const float*);
    const struct {
        Save save;
        std::vector<std::pair<int, int>> sizes;
    } writers[] = {
        {[](const char* f, int w, int h, const float* p) { return tlSavePNG(f, w, h, p, 0); },
         {{0, 1}, {-1, 5}, {5, -1}, {INT_MAX, INT_MAX}, {1 << 29, 1}, {65536, 65536}, {400000000, 1}}},
        // 1 << 29: one row of 2^31 + 1 filtered bytes; 65536^2: 2^34; 4e8: 1.6e9 bytes, below 2^31, but
        // the compressor's output buffer would overflow its int capacity.
        {[](const char* f, int w, int h, const float* p) { return tlSavePNG(f, w, h, p, 1); },
         {{INT_MAX, INT_MAX}, {1 << 29, 1}, {65536, 65536}, {400000000, 1}}},
        {tlSaveEXR, {{0, 1}, {1, 0}, {-3, 2}, {INT_MIN, 1}, {1 << 28, 1}, {INT_MAX, INT_MAX}}}};  // 8 * 2^28 > int
    const float pixel[4] = {1, 1, 1, 1};
    const std::vector<float> large = testImage(300, 40, 3);
    for (const auto& [save, sizes] : writers) {
        EXPECT_EQ(save(nullptr, 1, 1, pixel), 1);
        EXPECT_EQ(save(path("refused").c_str(), 1, 1, nullptr), 1);
        for (auto [w, h] : sizes) EXPECT_EQ(save(path("refused").c_str(), w, h, pixel), 1) << w << "x" << h;
        EXPECT_EQ(save(path("missing/refused").c_str(), 1, 1, pixel), 1);
        EXPECT_TRUE(fs::is_empty(dir_));
        EXPECT_EQ(save("/dev/full", 1, 1, pixel), 1);
        EXPECT_EQ(save("/dev/full", 300, 40, large.data()), 1);
    }
}

}  // namespace
