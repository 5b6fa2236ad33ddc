// EXR writer: float RGBA to a single-part, uncompressed scan-line OpenEXR file with four half channels,
// one scan line per chunk. Header, offset table and lines are built here; no OpenEXR library is needed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "io/image_writers.h"

namespace {

constexpr size_t kHeaderBytes = 331;

// A chunk's pixel byte count (8 per pixel) is a signed 32-bit field.
constexpr int kMaxWidth = INT32_MAX / 8;

// Round to nearest, ties to even; NaN keeps its sign and loses its payload.
uint16_t floatToHalf(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    const uint32_t sign = (bits >> 16) & 0x8000u;
    const uint32_t biased = (bits >> 23) & 0xFFu;
    const uint32_t m = bits & 0x7FFFFFu;
    const int e = int(biased) - 112;
    if (biased == 255) return uint16_t(sign | (m ? 0x7E00u : 0x7C00u));
    if (e >= 31) return uint16_t(sign | 0x7C00u);
    if (e >= 1) {
        uint32_t h = sign | (uint32_t(e) << 10) | (m >> 13);
        const uint32_t dropped = m & 0x1FFFu;
        // A carry runs on into the exponent: 65520 becomes infinity.
        if (dropped > 0x1000u || (dropped == 0x1000u && (h & 1u))) ++h;
        return uint16_t(h);
    }
    if (e >= -10) {
        const uint32_t full = m | 0x800000u;
        const int shift = 14 - e;
        uint32_t h = full >> shift;
        const uint32_t rest = full & ((1u << shift) - 1u);
        const uint32_t halfway = 1u << (shift - 1);
        if (rest > halfway || (rest == halfway && (h & 1u))) ++h;
        return uint16_t(sign | h);
    }
    return uint16_t(sign);
}

class ByteWriter {
public:
    explicit ByteWriter(uint8_t* at) : p_(at) {}
    void u8(uint8_t v) { *p_++ = v; }
    void u16(uint16_t v) {
        u8(uint8_t(v));
        u8(uint8_t(v >> 8));
    }
    void u32(uint32_t v) {
        u16(uint16_t(v));
        u16(uint16_t(v >> 16));
    }
    void u64(uint64_t v) {
        u32(uint32_t(v));
        u32(uint32_t(v >> 32));
    }
    void f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        u32(bits);
    }
    void text(const char* s) {  // with its terminating NUL
        size_t n = std::strlen(s) + 1;
        std::memcpy(p_, s, n);
        p_ += n;
    }
    void attribute(const char* name, const char* type, uint32_t size) {
        text(name);
        text(type);
        u32(size);
    }
    uint8_t* at() const { return p_; }

private:
    uint8_t* p_;
};

// Magic, version and attributes; the value sizes are fixed, so the header always takes kHeaderBytes.
void writeHeader(ByteWriter& w, int width, int height) {
    w.u32(20000630);
    w.u32(2);  // version 2, single-part scan lines, short names
    w.attribute("channels", "chlist", 73);
    for (const char* channel : {"A", "B", "G", "R"}) {  // alphabetical, as readers expect
        w.text(channel);
        w.u32(1);  // half
        w.u8(0);   // not perceptually linear
        w.u8(0), w.u8(0), w.u8(0);
        w.u32(1), w.u32(1);  // x and y sampling
    }
    w.u8(0);
    w.attribute("compression", "compression", 1);
    w.u8(0);
    for (const char* window : {"dataWindow", "displayWindow"}) {
        w.attribute(window, "box2i", 16);
        w.u32(0), w.u32(0), w.u32(uint32_t(width - 1)), w.u32(uint32_t(height - 1));
    }
    w.attribute("lineOrder", "lineOrder", 1);
    w.u8(0);  // increasing y
    w.attribute("pixelAspectRatio", "float", 4);
    w.f32(1.0f);
    w.attribute("screenWindowCenter", "v2f", 8);
    w.f32(0.0f), w.f32(0.0f);
    w.attribute("screenWindowWidth", "float", 4);
    w.f32(1.0f);
    w.u8(0);
}

}  // namespace

namespace tl::io {

int saveEXR(const char* path, int width, int height, const float* rgba) {
    if (!path || !rgba || width < 1 || height < 1) return 1;
    // Refuse lines the chunk's size field cannot describe. Below that width every count here (input
    // bytes under 2^63, offsets under 2^62) fits 64 bits.
    if (width > kMaxWidth) return 1;

    const size_t lineBytes = 8 * size_t(width) + 8;
    std::vector<uint8_t> head(kHeaderBytes + 8 * size_t(height));
    std::vector<uint8_t> line(lineBytes);
    ByteWriter w(head.data());
    writeHeader(w, width, height);
    for (int y = 0; y < height; ++y) w.u64(head.size() + uint64_t(y) * lineBytes);

    std::FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    bool good = std::fwrite(head.data(), 1, head.size(), f) == head.size();
    const float* src = rgba;
    for (int y = 0; y < height && good; ++y, src += size_t(width) * 4) {
        ByteWriter out(line.data());
        out.u32(uint32_t(y));
        out.u32(uint32_t(8 * width));
        for (int channel = 3; channel >= 0; --channel)  // A, B, G, R
            for (int x = 0; x < width; ++x) out.u16(floatToHalf(src[4 * x + channel]));
        good = std::fwrite(line.data(), 1, lineBytes, f) == lineBytes;
    }
    const bool closed = std::fclose(f) == 0;
    return good && closed ? 0 : 1;
}

}  // namespace tl::io
