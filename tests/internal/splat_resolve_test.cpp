// The CPU launchers of kSplat and kResolve against the per-item code they share with the GPU.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "cpu/lit_walk.h"
#include "cpu/splat.h"
#include "kernels/launchers.h"
#include "kernels/resolve.h"
#include "kernels/resolve_vol.h"
#include "kernels/splat.h"
#include "render/frame.h"

namespace {

struct Cloud { std::vector<TLV3> positions, velocities; std::vector<TLUChar4> colors; };

Cloud randomCloud(uint32_t count) {
    Cloud c;
    for (uint32_t i = 0; i < count; ++i) {
        const float u = tl::uniform(tl::lowbias32(3 * i + 1)), v = tl::uniform(tl::lowbias32(3 * i + 2));
        const float w = tl::uniform(tl::lowbias32(3 * i + 3));
        c.positions.push_back(TLV3{(u - 0.5f) * 12.0f, (v - 0.5f) * 8.0f, -2.0f - 8.0f * w});
        c.colors.push_back(TLUChar4{uint8_t(i * 37), uint8_t(255 - i), 200, uint8_t(i * 11)});
        c.velocities.push_back(TLV3{0.5f - v, 0.3f, u - 0.5f});
    }
    return c;
}

struct Variant { const char* name; int samples, jitter; float sigma, shutter, aperture; int projection; float eyeOffset; };

TLFrame frameFor(const Variant& v, int width, int height) {
    const TLCamera c{.target = {0, 0, -1}, .up = {0, 1, 0}, .fovY = 70, .focusDistance = 5, .aperture = v.aperture,
                     .projection = v.projection, .lonMin = -120, .lonMax = 120, .latMin = -60, .latMax = 60,
                     .eyeOffset = v.eyeOffset, .poleModeTop = 1, .poleAngleTop = 20};
    return tl::buildFrame(c, {.width = width, .height = height, .intensity = 1.5f, .exposure = 1, .jitterCount = v.jitter,
                              .jitterSigma = v.sigma, .samples = v.samples, .shutter = v.shutter, .seed = 99});
}

const Variant kVariants[] = {{"plain", 1, 0, 0, 0, 0, 0, 0},          {"samplesAndJitter", 3, 2, 0.3f, 0, 0, 0, 0},
                              {"motionBlur", 4, 1, 0.2f, 0.5f, 0, 0, 0}, {"depthOfField", 2, 1, 0.2f, 0, 0.15f, 0, 0},
                              {"stereoPanorama", 2, 2, 0.3f, 0.5f, 0, 1, 0.1f}};

// The GPU's order of work: every work item on its own, one after another.
std::vector<float> reference(const TLFrame& f, const Cloud& c, const TLV3* velocities, uint64_t n) {
    std::vector<float> acc(static_cast<size_t>(f.width) * f.height * 4, 0.0f);
    for (uint64_t w = 0; w < n; ++w)
        tl::splatWorkItem(f, c.positions.data(), c.colors.data(), velocities, w, acc.data());
    return acc;
}

void expectSameSums(const std::vector<float>& got, const std::vector<float>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    int bad = 0;
    double total = 0.0;
    for (size_t q = 0; q < got.size(); ++q)
        if ((total += want[q], std::fabs(got[q] - want[q]) > 1e-5f * std::fabs(want[q]) + 1e-6f) && ++bad <= 5)
            ADD_FAILURE() << what << ": entry " << q << " is " << got[q] << ", expected " << want[q];
    EXPECT_TRUE(bad == 0 && total > 0.0) << what << ": " << bad << " bad, total " << total;
}

}  // namespace

// Sizes around the CPU splat's bands of 16384 pixels (inside one, one, a row over, several, odd).
const int kSizes[][2] = {{64, 48}, {128, 128}, {129, 128}, {181, 97}, {301, 199}};

TEST(HostSplat, EveryStrategyMatchesTheWorkItemOrder) {
    const Cloud cloud = randomCloud(700);
    for (const Variant& v : kVariants)
    for (const auto& size : kSizes) {
        const TLFrame f = frameFor(v, size[0], size[1]);
        const TLV3* velocities = v.shutter > 0.0f ? cloud.velocities.data() : nullptr;
        const uint64_t full = cloud.positions.size() * tl::workPerParticle(f);
            for (uint64_t n : {full, full - 4}) {
            const std::vector<float> want = reference(f, cloud, velocities, n);
            for (tl::HostAccumulation mode : {tl::HostAccumulation::atomic, tl::HostAccumulation::binned}) {
                std::vector<float> got(want.size(), 1.0f), again(got);  // launches add to what is there
                tl::hostSplat(f, cloud.positions.data(), cloud.colors.data(), velocities, n, got.data(), mode);
                tl::hostSplat(f, cloud.positions.data(), cloud.colors.data(), velocities, n, again.data(), mode);
                if (mode == tl::HostAccumulation::binned)
                    EXPECT_EQ(std::memcmp(got.data(), again.data(), got.size() * sizeof(float)), 0) << "runs differ";
                for (float& x : got) x -= 1.0f;
                expectSameSums(got, want, v.name);
            }
        }
    }
}

// Copy offsets are kept from one frame to the next (from the second frame that asks for the same
// ones): a frame of another sigma, copy count or first index, or of more or fewer particles, must still
// place every copy where the work items do.
TEST(HostSplat, KeptCopyOffsetsFollowSigmaCopiesAndFirstIndex) {
    // Several of the splat's chunks of 2048 particles, each reading the offsets from its own place.
    const Cloud cloud = randomCloud(5000);
    struct Step {
        int jitter;
        float sigma;
        uint32_t firstIndex;
        size_t particles;
    };
    for (const Step& step : {Step{2, 0.3f, 0, 5000}, Step{2, 0.3f, 0, 5000}, Step{2, 0.3f, 0, 5000},
                             Step{2, 0.5f, 0, 5000}, Step{3, 0.5f, 0, 5000}, Step{3, 0.5f, 1000, 5000},
                             Step{3, 0.5f, 1000, 5000}, Step{3, 0.5f, 0, 4300}, Step{3, 0.5f, 0, 4300},
                             Step{3, 0.5f, 0, 5000}, Step{3, 0.5f, 0, 4650}}) {
        TLFrame f = frameFor({"jitter", 1, step.jitter, step.sigma, 0, 0, 0, 0}, 181, 97);
        f.firstIndex[0] = step.firstIndex;
        const uint64_t n = step.particles * tl::workPerParticle(f);
        const std::vector<float> want = reference(f, cloud, nullptr, n);
        std::vector<float> got(want.size(), 0.0f);
        tl::hostSplat(f, cloud.positions.data(), cloud.colors.data(), nullptr, n, got.data());
        expectSameSums(got, want, "kept offsets");
    }
}

// A band's bin fills several blocks (and prepared ones) when most of a large cloud lands in one band.
TEST(HostSplat, BinsSpanningManyBlocksKeepEveryDeposit) {
    const Cloud cloud = randomCloud(30000);
    tl::prepareSplat(30000, 64, 48);
    for (const Variant& v : {kVariants[0], kVariants[1]}) {
        const TLFrame f = frameFor(v, 64, 48);
        const uint64_t n = cloud.positions.size() * tl::workPerParticle(f);
        std::vector<float> got(64 * 48 * 4, 0.0f), again(got);
        tl::hostSplat(f, cloud.positions.data(), cloud.colors.data(), nullptr, n, got.data());
        tl::hostSplat(f, cloud.positions.data(), cloud.colors.data(), nullptr, n, again.data());
        EXPECT_EQ(std::memcmp(got.data(), again.data(), got.size() * sizeof(float)), 0) << "runs differ";
        expectSameSums(got, reference(f, cloud, nullptr, n), v.name);
    }
}

// GPU float atomics flush subnormal inputs and results to zero (the zero keeps its sign); so must the CPU.
TEST(HostSplat, SubnormalDepositsVanishAsInTheGpuAtomics) {
    const float tiny = std::numeric_limits<float>::denorm_min() * 1000.0f, least = std::numeric_limits<float>::min();
    const float sums[][3] = {{0.0f, tiny, 0.0f}, {-0.0f, -tiny, -0.0f}, {1.5f * least, -least, 0.0f},
                             {least, least, 2.0f * least}, {tiny, 1.0f, 1.0f}, {least, tiny, least}};
    for (const auto& c : sums) EXPECT_EQ(tl::floatBits(tl::atomicSum(c[0], c[1])), tl::floatBits(c[2])) << c[0];
    float repeated = 0.0f;
    tl::litcpu::atomicAddRepeated(&repeated, tiny, 7);
    EXPECT_EQ(repeated, 0.0f);

    const Cloud cloud = randomCloud(300);
    for (const Variant& v : {kVariants[0], kVariants[1]}) {
        TLFrame f = frameFor(v, 40, 30);
        f.colorScale = tiny / 255.0f, f.alphaScale = tiny;
        const uint64_t n = cloud.positions.size() * tl::workPerParticle(f);
        std::vector<float> all = reference(f, cloud, nullptr, n), got(all.size() * 2, 0.0f);
        tl::hostSplat(f, cloud.positions.data(), cloud.colors.data(), nullptr, n, got.data(), tl::HostAccumulation::atomic);
        tl::hostSplat(f, cloud.positions.data(), cloud.colors.data(), nullptr, n, &got[all.size()], tl::HostAccumulation::binned);
        for (float sum : all) ASSERT_EQ(sum, 0.0f) << v.name;
        for (float sum : got) ASSERT_EQ(sum, 0.0f) << v.name;
    }
}

// The shortcut for empty pixels gives the per-pixel bits for every exposure; threads past the pixels write nothing.
TEST(Resolve, LaunchersMatchThePerPixelCodeForEveryExposure) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> acc = {0, 0, 0, 0, -0.0f, 0, -0.0f, 0, 1, 1, 1, 1, 0.25f, 0, 3, 0.5f, 0, 0, 0, 1e-30f,
                                    -2, 0, 0, 0, 0, 0, 0, 0, 7, 8, 9, 10};
    const std::vector<float> depth = {0, 0, 1, 0, 0, 0, 3, 0.5f};
    const int32_t all = static_cast<int32_t>(depth.size());
    for (int run = 0; run < 24; ++run) {
        const bool lit = run / 12;
        const int32_t pixels = run / 6 % 2 ? 3 : all;
        const float exposure = std::array<float, 6>{1.0f, 0.0f, -1.0f, inf, -inf, nan}[run % 6];
        std::vector<TLFloat4> image(all + 1, TLFloat4{-7, -7, -7, -7});
        std::vector<TLUChar4> bytes(all + 1, TLUChar4{1, 2, 3, 4});
        if (lit) tl::launchResolveVol({1, 256}, acc.data(), depth.data(), bytes.data(), image.data(), pixels, exposure);
        else tl::launchResolve({1, 256}, acc.data(), bytes.data(), image.data(), pixels, exposure);
        for (int32_t t = 0; t <= all; ++t) {
            const float* a = &acc[4 * static_cast<size_t>(t % all)];
            TLFloat4 want = lit ? tl::resolveLitPixel(a, depth[t % all], exposure)
                                : tl::resolveLinear(a[0], a[1], a[2], a[3], exposure);
            TLUChar4 wantBytes = tl::encodePixel(want);
            if (t >= pixels) want = TLFloat4{-7, -7, -7, -7}, wantBytes = TLUChar4{1, 2, 3, 4};
            EXPECT_TRUE(!std::memcmp(&image[t], &want, sizeof want) && !std::memcmp(&bytes[t], &wantBytes, 4)) << run << " " << t;
        }
    }
    EXPECT_EQ(tl::launchResolve({1, 256}, acc.data(), nullptr, nullptr, all, 1.0f), 0) << "no outputs";
}
