// tlSaveEXR: the exact bytes of a small file, the float-to-half rounding, decoding with the OpenEXR
// library, and the failures.
#include <ImfArray.h>
#include <ImfChannelList.h>
#include <ImfCompression.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfRgbaFile.h>
#include <half.h>

#include <climits>
#include <cstring>

#include "io/writer_test_support.h"
#include "taluna.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t le32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }
uint64_t le64(const Bytes& b, size_t at) { return le32(b, at) | uint64_t(le32(b, at + 4)) << 32; }

// What the file must hold for a float: round to nearest even as Imath does it, NaN as a quiet NaN
// without payload.
uint16_t expectedHalf(float f) {
    const uint16_t sign = (std::bit_cast<uint32_t>(f) >> 16) & 0x8000;
    return std::isnan(f) ? uint16_t(sign | 0x7E00) : half(f).bits();
}

class ExrWriter : public WriterTest {};

TEST_F(ExrWriter, OnePixelByteForByte) {
    const float pixel[4] = {1.0f, 0.5f, -2.0f, 0.25f};
    ASSERT_EQ(tlSaveEXR(path("one.exr").c_str(), 1, 1, pixel), 0);
    Bytes expected{0x76, 0x2F, 0x31, 0x01, 2, 0, 0, 0};
    auto text = [&](const char* s) { expected.insert(expected.end(), s, s + std::strlen(s) + 1); };
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) expected.push_back(uint8_t(v >> (8 * i))); };
    auto attribute = [&](const char* name, const char* type, uint32_t size) { text(name), text(type), u32(size); };
    attribute("channels", "chlist", 73);
    for (const char* channel : {"A", "B", "G", "R"}) {
        text(channel), u32(1), u32(0), u32(1), u32(1);  // half; linear flag and reserved bytes; sampling
    }
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
    u32(339), u32(0);                 // offset table
    u32(0), u32(8);                   // line 0, 8 bytes of pixels
    u32(0xC0003400), u32(0x3C003800);  // A 0.25, B -2 then G 0.5, R 1
    EXPECT_EQ(readFile(path("one.exr")), expected);
}

// Rounding to nearest even in the normal and subnormal ranges, overflow, signed zeros, NaN and infinity.
TEST_F(ExrWriter, HalfConversion) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
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
    const size_t red = 331 + 8 + 8 + 3 * 2 * width;  // after A, B and G
    for (int x = 0; x < width; ++x)
        EXPECT_EQ(file[red + 2 * x] | file[red + 2 * x + 1] << 8, table[x].second)
            << std::hexfloat << table[x].first;
}

// Odd sizes through the OpenEXR library: the header it parses, each scan line where the offset table
// says, and every half against Imath's own conversion.
TEST_F(ExrWriter, DecodesWithOpenExr) {
    for (auto [w, h] : {std::pair{1, 1}, {1, 9}, {9, 1}, {13, 5}, {31, 17}, {127, 3}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const std::vector<float> image = testImage(w, h, uint32_t(w * 7919 + h));
        const std::string file = path("image.exr");
        ASSERT_EQ(tlSaveEXR(file.c_str(), w, h, image.data()), 0);

        const Bytes bytes = readFile(file);
        ASSERT_EQ(bytes.size(), 331u + 16u * h + 8u * w * h);
        for (int y = 0; y < h; ++y) {
            const uint64_t offset = le64(bytes, 331 + 8 * y);
            ASSERT_EQ(offset, 331u + 8u * h + uint64_t(y) * (8 * w + 8));
            EXPECT_EQ(le32(bytes, offset), uint32_t(y));
            EXPECT_EQ(le32(bytes, offset + 4), uint32_t(8 * w));
        }

        Imf::InputFile raw(file.c_str());
        const Imf::Header& header = raw.header();
        EXPECT_EQ(header.compression(), Imf::NO_COMPRESSION);
        EXPECT_EQ(header.lineOrder(), Imf::INCREASING_Y);
        EXPECT_EQ(header.displayWindow(), header.dataWindow());
        int channels = 0;
        for (auto it = header.channels().begin(); it != header.channels().end(); ++it, ++channels)
            EXPECT_EQ(it.channel().type, Imf::HALF) << it.name();
        EXPECT_EQ(channels, 4);

        Imf::RgbaInputFile in(file.c_str());
        const Imath::Box2i window = in.dataWindow();
        ASSERT_EQ(window.min, Imath::V2i(0, 0));
        ASSERT_EQ(window.max, Imath::V2i(w - 1, h - 1));
        Imf::Array2D<Imf::Rgba> pixels(h, w);
        in.setFrameBuffer(&pixels[0][0], 1, size_t(w));
        in.readPixels(0, h - 1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float* p = &image[(size_t(y) * w + x) * 4];
                const Imf::Rgba& got = pixels[y][x];
                ASSERT_EQ(got.r.bits(), expectedHalf(p[0])) << x << "," << y;
                ASSERT_EQ(got.g.bits(), expectedHalf(p[1])) << x << "," << y;
                ASSERT_EQ(got.b.bits(), expectedHalf(p[2])) << x << "," << y;
                ASSERT_EQ(got.a.bits(), expectedHalf(p[3])) << x << "," << y;
            }
    }
}

TEST_F(ExrWriter, NonAsciiFileName) {
    const std::vector<float> image = testImage(3, 2, 1);
    const std::string name = "bild-\xC3\xBC\xC3\xB1\xC3\xAF-\xE6\x97\xA5\xE6\x9C\xAC.exr";  // bild-üñï-日本
    ASSERT_EQ(tlSaveEXR(path(name).c_str(), 3, 2, image.data()), 0);
    ASSERT_TRUE(fs::exists(dir_ / fs::u8path(name)));
    Imf::RgbaInputFile in(path(name).c_str());
    EXPECT_EQ(in.dataWindow().max, Imath::V2i(2, 1));
}

// Refused calls return 1 before reading pixels or allocating, and create nothing.
TEST_F(ExrWriter, RefusalsCreateNoFile) {
    const float pixel[4] = {1, 1, 1, 1};
    const std::string file = path("refused.exr");
    EXPECT_EQ(tlSaveEXR(nullptr, 1, 1, pixel), 1);
    EXPECT_EQ(tlSaveEXR(file.c_str(), 1, 1, nullptr), 1);
    for (auto [w, h] : {std::pair{0, 1}, {1, 0}, {-3, 2}, {2, -3}, {INT_MIN, 1},
                        {1 << 28, 1},  // 8 * width does not fit the chunk's 32-bit size
                        {INT_MAX, INT_MAX}})
        EXPECT_EQ(tlSaveEXR(file.c_str(), w, h, pixel), 1) << w << "x" << h;
    EXPECT_EQ(tlSaveEXR(path("missing/refused.exr").c_str(), 1, 1, pixel), 1);
    EXPECT_TRUE(folderEmpty());
}

// A full device: a small file fails at the close, a larger one at a write.
TEST_F(ExrWriter, WriteAndCloseFailuresReturnOne) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    const std::vector<float> small = testImage(1, 1, 3), large = testImage(300, 40, 3);
    EXPECT_EQ(tlSaveEXR("/dev/full", 1, 1, small.data()), 1);
    EXPECT_EQ(tlSaveEXR("/dev/full", 300, 40, large.data()), 1);
}

}  // namespace
