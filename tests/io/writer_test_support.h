// Shared pieces of the image writer tests: a scratch folder per test, file access and test images.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Every test writes into a fresh folder under the system's temporary folder, removed afterwards.
class WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "taluna-io-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string path(const std::string& name) const { return (dir_ / fs::u8path(name)).string(); }
    bool folderEmpty() const { return fs::is_empty(dir_); }

    fs::path dir_;
};

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline float bitsToFloat(uint32_t bits) { return std::bit_cast<float>(bits); }

// Premultiplied RGBA of smooth gradients and noise, with every few pixels one of the values that
// conversions get wrong: NaN of both signs, infinities, negatives, zeros of both signs, alpha around
// 1e-6 and outside [0, 1], values at half-float edges and float subnormals.
inline std::vector<float> testImage(int width, int height, uint32_t seed) {
    static const float kEdges[] = {
        std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
        bitsToFloat(0x7F800001u), std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        -0.0f, 0.0f, -0.5f, 1.0f, 2.0f, 1e-6f, 1.0000001e-6f, 65504.0f, 65520.0f, 65519.0f, 0x1p-24f, 0x1p-25f,
        -0x1p-25f, 0x1.8p-25f, 0x1p-14f, 1e-45f, 1.0f + 0x1p-11f, 0.5f, 3.0f};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f), alphaDist(-0.2f, 1.3f);
    std::vector<float> image(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float* p = &image[(size_t(y) * width + x) * 4];
            float alpha = (rng() % 3 == 0) ? alphaDist(rng) : 1.0f;
            p[0] = (float(x) / width + noise(rng)) * alpha;
            p[1] = (float(y) / height + noise(rng)) * alpha;
            p[2] = (0.5f + noise(rng)) * alpha;
            p[3] = alpha;
            if (rng() % 5 == 0) p[rng() % 4] = kEdges[rng() % std::size(kEdges)];
        }
    return image;
}
