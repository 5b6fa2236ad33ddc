// kResolveVol: turns the lit accumulator and the total optical depth into the float and the 8-bit
// image, one thread per pixel. Either output may be null.
#include "kernels/resolve_vol.h"
#include "kernels/launchers.h"

#include "cpu/launch.h"

namespace tl {

gpu::Error launchResolveVol(LaunchConfig cfg, const float* accumulator, const float* totalDepth, TLUChar4* image,
                            TLFloat4* imageFloat, int32_t pixelCount, float exposure) {
    if (gpu::Error err = gpu::cpu::launchError(cfg)) return err;
    // Threads beyond the pixel count do nothing, as on the GPU.
    const uint64_t threads = static_cast<uint64_t>(cfg.blocks) * cfg.threadsPerBlock;
    const uint64_t pixels = pixelCount > 0 ? static_cast<uint64_t>(pixelCount) : 0u;
    const uint64_t n = threads < pixels ? threads : pixels;
    // A pixel no sample reached resolves to transparent black for any finite exposure (expF(+-0) is
    // exactly 1); most of a sparse frame is skipped without the exponentials.
    const bool finiteExposure = exposure - exposure == 0.0f;
    gpu::cpu::parallelFor(n, [&](uint64_t i) {
        const float* a = accumulator + 4u * i;
        if (finiteExposure && a[0] == 0.0f && a[1] == 0.0f && a[2] == 0.0f && totalDepth[i] == 0.0f) {
            if (imageFloat) imageFloat[i] = TLFloat4{0.0f, 0.0f, 0.0f, 0.0f};
            if (image) image[i] = TLUChar4{0, 0, 0, 255};
            return;
        }
        const TLFloat4 v = resolveLitPixel(a, totalDepth[i], exposure);
        if (imageFloat) imageFloat[i] = v;
        if (image) image[i] = encodePixel(v);
    });
    return gpu::kSuccess;
}

}  // namespace tl
