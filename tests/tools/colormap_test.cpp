// The renderer tool's colour mapping and the sampled percentiles behind its default colour range and view.
#include <gtest/gtest.h>

#include <cmath>

#include "render/colormap.h"

using namespace taluna::render;

namespace {

double luminance(TLUChar4 c) { return 0.2126 * c.x + 0.7152 * c.y + 0.0722 * c.z; }

TEST(Colormap, EndsMatchTheTablesAndLuminanceRises) {
    const std::tuple<const char*, TLUChar4, TLUChar4> ends[] = {
        {"viridis", {68, 1, 84, 255}, {253, 231, 37, 255}},  // the published tables' first and last entries
        {"gray", {0, 0, 0, 255}, {255, 255, 255, 255}},
    };
    for (const auto& [name, low, high] : ends) {
        const ColorMapping map(name, false, 0.0, 255.0);
        for (const auto& [value, expected] : {std::pair{0.0f, low}, {255.0f, high}}) {
            const TLUChar4 c = map(value);
            EXPECT_EQ((std::array{c.x, c.y, c.z, c.w}), (std::array{expected.x, expected.y, expected.z, expected.w}))
                << name << " " << value;
        }
        // Rising over every 8 steps; single steps of the bytes may wobble by a rounding.
        for (int v = 8; v <= 255; ++v) EXPECT_GT(luminance(map(v)), luminance(map(v - 8))) << name << " " << v;
    }
}

TEST(Colormap, RangeAndLogPlaceValuesAndClampTheRest) {
    const ColorMapping linear("gray", false, 10.0, 20.0), log("gray", true, 1.0, 100.0), flat("gray", false, 5, 5);
    const std::tuple<const ColorMapping*, float, int> cases[] = {
        {&linear, 10.0f, 0}, {&linear, 15.0f, 128}, {&linear, 20.0f, 255}, {&linear, -1e30f, 0}, {&linear, 1e30f, 255},
        {&linear, NAN, 0}, {&log, 10.0f, 128}, {&log, 100.0f, 255}, {&log, 0.0f, 0}, {&log, -5.0f, 0},
        {&log, 1e4f, 255}, {&flat, 5.0f, 128},
    };
    for (const auto& [map, value, grey] : cases) EXPECT_EQ((*map)(value).x, grey) << value;
}

TEST(Percentiles, InterpolateRanksAndSurviveABoundedSample) {
    std::vector<float> values;
    for (int i = 100; i >= 1; --i) values.push_back(static_cast<float>(i));
    EXPECT_DOUBLE_EQ(percentile(values, 1.0), 1.99);
    EXPECT_DOUBLE_EQ(percentile(values, 99.0), 99.01);
    EXPECT_DOUBLE_EQ(percentile(values, 100.0), 100.0);
    double lo = 0.0, hi = 0.0;
    ASSERT_TRUE(percentileRange({NAN, -1.0f, 0.0f, 10.0f, 1000.0f}, true, &lo, &hi));  // log: 10 and 1000 only
    EXPECT_NEAR(lo, std::pow(10.0, 1.02), 1e-9);
    EXPECT_NEAR(hi, std::pow(10.0, 2.98), 1e-6);
    EXPECT_FALSE(percentileRange({NAN, -1.0f}, true, &lo, &hi));

    // A million values in a sample of 4096: the median and the 99.5th percentile within 3% of the truth.
    Reservoir<float> sample(4096);
    for (int i = 0; i < 1000000; ++i) sample.add(static_cast<float>(i));
    std::vector<float> kept = sample.kept();
    ASSERT_EQ(kept.size(), 4096u);
    EXPECT_NEAR(percentile(kept, 50.0), 500000.0, 30000.0);
    EXPECT_NEAR(percentile(kept, 99.5), 995000.0, 30000.0);
}

}  // namespace
