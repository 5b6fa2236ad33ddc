// PNG writer: linear, alpha-premultiplied float RGBA to a straight-alpha, gamma-encoded 8- or 16-bit
// RGBA PNG. Filtering, chunks and CRC are ours; only the deflate stream comes from stb_image_write.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "io/image_writers.h"

namespace {

// Every block the compressor allocates carries a link in front of it. stb asserts on a failed realloc
// and then writes through the stale pointer; our realloc throws instead, and the links let the
// abandoned compression give back everything it held.
struct alignas(16) BlockLink {
    BlockLink* prev;
    BlockLink* next;
};

thread_local BlockLink* liveBlocks = nullptr;

void linkBlock(BlockLink* b) {
    b->prev = nullptr;
    b->next = liveBlocks;
    if (liveBlocks) liveBlocks->prev = b;
    liveBlocks = b;
}

void unlinkBlock(BlockLink* b) {
    if (b->prev) b->prev->next = b->next;
    else liveBlocks = b->next;
    if (b->next) b->next->prev = b->prev;
}

void* zlibAlloc(size_t n) {
    if (n > SIZE_MAX - sizeof(BlockLink)) return nullptr;
    auto* b = static_cast<BlockLink*>(std::malloc(sizeof(BlockLink) + n));
    if (!b) return nullptr;
    linkBlock(b);
    return b + 1;
}

void* zlibRealloc(void* p, size_t n) {
    if (!p) {
        void* q = zlibAlloc(n);
        if (!q) throw std::bad_alloc();
        return q;
    }
    if (n > SIZE_MAX - sizeof(BlockLink)) throw std::bad_alloc();
    BlockLink* b = static_cast<BlockLink*>(p) - 1;
    unlinkBlock(b);
    auto* q = static_cast<BlockLink*>(std::realloc(b, sizeof(BlockLink) + n));
    if (!q) {
        linkBlock(b);
        throw std::bad_alloc();
    }
    linkBlock(q);
    return q + 1;
}

void zlibFree(void* p) {
    if (!p) return;
    BlockLink* b = static_cast<BlockLink*>(p) - 1;
    unlinkBlock(b);
    std::free(b);
}

void zlibFreeAll() {
    while (liveBlocks) {
        BlockLink* b = liveBlocks;
        unlinkBlock(b);
        std::free(b);
    }
}

}  // namespace

// Only stbi_zlib_compress is used; the rest of stb_image_write stays unreferenced in this unit.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#define STBIW_MALLOC(sz) zlibAlloc(sz)
#define STBIW_REALLOC(p, sz) zlibRealloc(p, sz)
#define STBIW_FREE(p) zlibFree(p)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace {

// 1.0f / 2.2f, the same exponent the resolve kernels encode the 8-bit image with.
constexpr float kGamma = 0.45454544f;
static_assert(std::bit_cast<uint32_t>(kGamma) == 0x3EE8BA2Eu);

constexpr int kCompressionQuality = 8;
constexpr uint32_t kGammaChunkValue = 45455;  // 1/2.2 scaled by 100000

// stb keeps its output in a buffer whose int capacity grows as 3 * 2^k - 1; the step after
// 1,610,612,735 overflows. Fixed Huffman codes never spend more than 9 bits on a byte of input, so the
// stream stays within 9/8 of the input plus a few bytes of framing. Larger images are refused before
// anything is allocated, which also keeps the length within the compressor's int argument.
constexpr int64_t kMaxStreamBytes = 1610612734;
constexpr int64_t kMaxFilteredBytes = (kMaxStreamBytes - 16) * 8 / 9;
static_assert(kMaxFilteredBytes < INT32_MAX);

// The CRC-32 table is computed by the compiler, so every thread sees it complete from the start.
constexpr auto kCrcTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

uint32_t crcUpdate(uint32_t crc, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

void putBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Writes length, type, data and the CRC of type and data at p; returns the end of the chunk.
uint8_t* putChunk(uint8_t* p, const char type[4], const uint8_t* data, size_t n) {
    putBE32(p, uint32_t(n));
    std::memcpy(p + 4, type, 4);
    if (n) std::memcpy(p + 8, data, n);
    putBE32(p + 8 + n, ~crcUpdate(0xFFFFFFFFu, p + 4, 4 + n));
    return p + 12 + n;
}

// NaN falls to 0, so nothing undefined reaches the integer conversion below.
inline float clampUnit(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }

// One row of premultiplied linear floats to straight-alpha samples, big-endian when 16-bit.
template <int SampleBytes>
void convertRow(const float* src, int width, uint8_t* dst) {
    constexpr float scale = SampleBytes == 1 ? 255.0f : 65535.0f;
    constexpr int pixelBytes = 4 * SampleBytes;
    for (int x = 0; x < width; ++x, src += 4, dst += pixelBytes) {
        // Rendered images repeat pixels (background, saturated areas): reuse the previous result.
        if (x > 0 && std::memcmp(src, src - 4, 16) == 0) {
            std::memcpy(dst, dst - pixelBytes, pixelBytes);
            continue;
        }
        const float alpha = clampUnit(src[3]);
        uint32_t sample[4];
        for (int c = 0; c < 3; ++c) {
            float v = alpha > 1e-6f ? clampUnit(src[c] / alpha) : 0.0f;
            // pow(0, g) is 0 and pow(1, g) is 1 exactly; only the values between need the call.
            if (v > 0.0f && v < 1.0f) v = std::pow(v, kGamma);
            sample[c] = uint32_t(v * scale + 0.5f);
        }
        sample[3] = uint32_t(alpha * scale + 0.5f);
        for (int c = 0; c < 4; ++c) {
            if constexpr (SampleBytes == 1) {
                dst[c] = uint8_t(sample[c]);
            } else {
                dst[2 * c] = uint8_t(sample[c] >> 8);
                dst[2 * c + 1] = uint8_t(sample[c]);
            }
        }
    }
}

// A filtered byte scores its distance from zero when read as a signed value.
inline uint32_t cost(uint8_t v) {
    uint8_t negated = uint8_t(-v);
    return v < negated ? v : negated;
}

inline uint8_t paeth(int a, int b, int c) {
    int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return uint8_t((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c));
}

// Adds the scores of the five filter types over n bytes; left and upLeft hold the bytes bpp before cur
// and up (zeros for the first pixel of a row).
void scoreRange(const uint8_t* __restrict cur, const uint8_t* __restrict up, const uint8_t* __restrict left,
                const uint8_t* __restrict upLeft, size_t n, uint64_t score[5]) {
    // Blocks keep the sums within 32-bit lanes (a byte scores 128 at most).
    constexpr size_t kBlock = size_t(1) << 20;
    for (size_t begin = 0; begin < n; begin += kBlock) {
        const size_t stop = n - begin > kBlock ? begin + kBlock : n;
        uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
        for (size_t i = begin; i < stop; ++i) {
            const uint8_t x = cur[i], a = left[i], b = up[i];
            s0 += cost(x);
            s1 += cost(uint8_t(x - a));
            s2 += cost(uint8_t(x - b));
            s3 += cost(uint8_t(x - ((a + b) >> 1)));
            s4 += cost(uint8_t(x - paeth(a, b, upLeft[i])));
        }
        score[0] += s0, score[1] += s1, score[2] += s2, score[3] += s3, score[4] += s4;
    }
}

void emitRange(int type, const uint8_t* __restrict cur, const uint8_t* __restrict up,
               const uint8_t* __restrict left, const uint8_t* __restrict upLeft, size_t n,
               uint8_t* __restrict out) {
    switch (type) {
    case 0:
        std::memcpy(out, cur, n);
        break;
    case 1:
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(cur[i] - left[i]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(cur[i] - up[i]);
        break;
    case 3:
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(cur[i] - ((left[i] + up[i]) >> 1));
        break;
    default:
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(cur[i] - paeth(left[i], up[i], upLeft[i]));
        break;
    }
}

// Writes the filter type byte and the row filtered with the cheapest of the five types (the lower type
// on equal scores). All five scores come from one pass over the row. rowBytes >= bpp.
void filterRow(const uint8_t* cur, const uint8_t* prior, size_t rowBytes, size_t bpp, uint8_t* out) {
    static constexpr uint8_t kZeros[8] = {};
    const size_t rest = rowBytes - bpp;
    uint64_t score[5] = {};
    scoreRange(cur, prior, kZeros, kZeros, bpp, score);
    scoreRange(cur + bpp, prior + bpp, cur, prior, rest, score);
    int best = 0;
    for (int t = 1; t < 5; ++t)
        if (score[t] < score[best]) best = t;
    out[0] = uint8_t(best);
    emitRange(best, cur, prior, kZeros, kZeros, bpp, out + 1);
    emitRange(best, cur + bpp, prior + bpp, cur, prior, rest, out + 1 + bpp);
}

struct StreamRelease {
    void operator()(unsigned char* p) const { zlibFree(p); }
};

}  // namespace

namespace tl::io {

int savePNG(const char* path, int width, int height, const float* rgba, bool sixteenBit) {
    if (!path || !rgba || width < 1 || height < 1) return 1;
    const size_t bpp = sixteenBit ? 8 : 4;
    const int64_t rowBytes = int64_t(width) * int64_t(bpp);
    if (1 + rowBytes > kMaxFilteredBytes || int64_t(height) * (1 + rowBytes) > kMaxFilteredBytes) return 1;
    const size_t filteredBytes = size_t(height) * size_t(1 + rowBytes);

    // Every byte is written by the filter, so the buffer is left uninitialised.
    std::unique_ptr<uint8_t[]> filtered(new uint8_t[filteredBytes]);
    {
        std::vector<uint8_t> rows(2 * size_t(rowBytes));
        uint8_t* prior = rows.data();  // zeros above the first row
        uint8_t* cur = rows.data() + rowBytes;
        const float* src = rgba;
        uint8_t* out = filtered.get();
        for (int y = 0; y < height; ++y) {
            if (sixteenBit) convertRow<2>(src, width, cur);
            else convertRow<1>(src, width, cur);
            filterRow(cur, prior, size_t(rowBytes), bpp, out);
            std::swap(cur, prior);
            src += size_t(width) * 4;
            out += 1 + size_t(rowBytes);
        }
    }

    int streamBytes = 0;
    std::unique_ptr<unsigned char, StreamRelease> stream;
    try {
        stream.reset(stbi_zlib_compress(filtered.get(), int(filteredBytes), &streamBytes, kCompressionQuality));
    } catch (const std::bad_alloc&) {
        zlibFreeAll();
        return 1;
    }
    if (!stream) return 1;
    filtered.reset();

    static constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    uint8_t header[13] = {};
    putBE32(header, uint32_t(width));
    putBE32(header + 4, uint32_t(height));
    header[8] = sixteenBit ? 16 : 8;
    header[9] = 6;  // truecolour with alpha; compression, filter and interlace methods stay 0
    uint8_t gamma[4];
    putBE32(gamma, kGammaChunkValue);

    const size_t fileBytes = sizeof kSignature + (12 + sizeof header) + (12 + sizeof gamma) +
                             (12 + size_t(streamBytes)) + 12;
    std::unique_ptr<uint8_t[]> file(new uint8_t[fileBytes]);
    uint8_t* p = file.get();
    std::memcpy(p, kSignature, sizeof kSignature);
    p = putChunk(p + sizeof kSignature, "IHDR", header, sizeof header);
    p = putChunk(p, "gAMA", gamma, sizeof gamma);
    p = putChunk(p, "IDAT", stream.get(), size_t(streamBytes));
    stream.reset();
    putChunk(p, "IEND", nullptr, 0);

    std::FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    const bool written = std::fwrite(file.get(), 1, fileBytes, f) == fileBytes;
    const bool closed = std::fclose(f) == 0;
    return written && closed ? 0 : 1;
}

}  // namespace tl::io
